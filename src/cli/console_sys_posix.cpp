#include "cli/console_sys.h"

#include <csignal>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace cli::sys {

bool isTerminal(int stream) {
    return isatty(stream) == 1;
}

Input pollInput(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) {
        return Input::Nothing;
    }
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        return Input::Ended;
    }
    return std::memchr(buf, '\n', static_cast<size_t>(n)) != nullptr ? Input::Line : Input::Nothing;
}

void onCancel(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void exitNow(int status) {
    _exit(status);
}

} // namespace cli::sys
