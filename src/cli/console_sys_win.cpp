// Windows: Ctrl-C and Ctrl-Break through the console's control handler (a
// closed window or a log-off as a request to end), and standard input read
// on a thread of its own, since a console, a pipe and a file each wait
// differently.
#include "cli/console_sys.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <mutex>
#include <thread>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace cli::sys {

namespace {

std::atomic<void (*)(int)> cancelHandler{nullptr};

BOOL WINAPI onControl(DWORD type) {
    const auto handler = cancelHandler.load();
    if (handler == nullptr) {
        return FALSE;
    }
    handler(type == CTRL_C_EVENT ? SIGINT : SIGTERM);
    // After a close, log-off or shut-down Windows ends the process when this
    // returns: the run gets the time until then to end.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        Sleep(4000);
    }
    return TRUE;
}

std::atomic<int> lines{0};
std::atomic<bool> ended{false};

void readInput(int fd) {
    const HANDLE in = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    char buf[256];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(in, buf, sizeof buf, &n, nullptr) || n == 0) {
            ended.store(true);
            return;
        }
        for (DWORD i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                lines.fetch_add(1);
            }
        }
    }
}

} // namespace

bool isTerminal(int stream) {
    return _isatty(stream) != 0;
}

Input pollInput(int fd) {
    static std::once_flag started;
    std::call_once(started, [fd] { std::thread(readInput, fd).detach(); });
    int pending = lines.load();
    while (pending > 0 && !lines.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending > 0) {
        return Input::Line;
    }
    return ended.load() ? Input::Ended : Input::Nothing;
}

void onCancel(void (*handler)(int)) {
    cancelHandler.store(handler);
    SetConsoleCtrlHandler(onControl, TRUE);
}

void exitNow(int status) {
    std::_Exit(status);
}

} // namespace cli::sys
