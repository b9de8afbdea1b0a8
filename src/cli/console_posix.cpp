// POSIX: the console through sigaction, isatty and read.
#include "cli/console.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace cli {

void onCancelSignals(void (*handler)(int)) {
    // Without SA_RESTART, so that a signal ends a wait in poll.
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace cli

namespace cli::console {

bool errorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

bool outputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

Input pollInput(int input) {
    pollfd p{input, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) {
        return Input::Nothing;
    }
    char buffer[256];
    const ssize_t n = read(input, buffer, sizeof buffer);
    if (n <= 0) {
        return Input::Ended;
    }
    return std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr ? Input::Line
                                                                        : Input::Nothing;
}

Input readInput() {
    char buffer[256];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN ? Input::Nothing : Input::Ended;
    }
    if (n == 0) {
        return Input::Ended;
    }
    return std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr ? Input::Line
                                                                        : Input::Nothing;
}

} // namespace cli::console
