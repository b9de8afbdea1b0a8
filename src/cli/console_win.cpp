// Windows: Ctrl-C, Ctrl-Break and a closing console through the console's
// control handler; a loader started by another one (several units, the
// station) has no console of its own and is cancelled through two named
// events instead, which its parent sets.
#include "cli/console_win.h"
#include "cli/console.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <io.h>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

namespace {

std::atomic<void (*)(int)> cancelHandler{nullptr};

void cancelArrived(int sig) {
    if (const auto handler = cancelHandler.load()) {
        handler(sig);
    }
    SetEvent(console::cancelEvent());
}

BOOL WINAPI onControl(DWORD type) {
    if (cancelHandler.load() == nullptr) {
        return FALSE;
    }
    cancelArrived(type == CTRL_C_EVENT ? SIGINT : SIGTERM);
    // After a close, log-off or shut-down Windows ends the process once this
    // returns: the run gets until then to end and write its record.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        Sleep(4000);
    }
    return TRUE;
}

// A loader process of a parent loader: its cancels come as named events,
// each told once (the parent sets it and leaves it set).
void watchParent(const std::wstring& name) {
    HANDLE events[2] = {OpenEventW(SYNCHRONIZE, FALSE, (name + L".int").c_str()),
                        OpenEventW(SYNCHRONIZE, FALSE, (name + L".term").c_str())};
    if (events[0] == nullptr || events[1] == nullptr) {
        return;
    }
    std::thread([events]() mutable {
        int signals[2] = {SIGINT, SIGTERM};
        for (DWORD waiting = 2; waiting > 0; --waiting) {
            const DWORD which = WaitForMultipleObjects(waiting, events, FALSE, INFINITE);
            if (which >= WAIT_OBJECT_0 + waiting) {
                return;
            }
            const DWORD i = which - WAIT_OBJECT_0;
            cancelArrived(signals[i]);
            // Waits on for the other one only.
            events[i] = events[waiting - 1];
            signals[i] = signals[waiting - 1];
        }
    }).detach();
}

} // namespace

void onCancelSignals(void (*handler)(int)) {
    cancelHandler.store(handler);
    wchar_t name[256] = {};
    if (GetEnvironmentVariableW(console::kCancelEventsVariable, name, 255) > 0) {
        watchParent(name);
        return;
    }
    SetConsoleCtrlHandler(onControl, TRUE);
}

} // namespace cli

namespace cli::console {

namespace {

// What the reader thread took from standard input: whole lines, then its end.
struct InputState {
    std::mutex mutex;
    int lines = 0;
    bool ended = false;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

InputState& input() {
    static InputState state;
    return state;
}

void readStandardInput(HANDLE from) {
    InputState& state = input();
    char buffer[256];
    for (;;) {
        DWORD n = 0;
        const bool ended = !ReadFile(from, buffer, sizeof buffer, &n, nullptr) || n == 0;
        std::lock_guard lock(state.mutex);
        state.lines += static_cast<int>(std::count(buffer, buffer + (ended ? 0 : n), '\n'));
        state.ended = ended;
        if (state.lines > 0 || ended) {
            SetEvent(state.ready);
        }
        if (ended) {
            return;
        }
    }
}

void startReading(int fd) {
    static std::once_flag started;
    std::call_once(started, [fd] {
        const HANDLE from = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        std::thread(readStandardInput, from).detach();
    });
}

// Takes one line or the end, if the reader has one.
Input take() {
    InputState& state = input();
    std::lock_guard lock(state.mutex);
    Input got = Input::Nothing;
    if (state.lines > 0) {
        --state.lines;
        got = Input::Line;
    } else if (state.ended) {
        got = Input::Ended;
    }
    if (state.lines == 0 && !state.ended) {
        ResetEvent(state.ready);
    }
    return got;
}

} // namespace

HANDLE cancelEvent() {
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

HANDLE inputEvent() {
    startReading(0);
    return input().ready;
}

bool errorIsTerminal() {
    return _isatty(2) != 0;
}

bool outputIsTerminal() {
    return _isatty(1) != 0;
}

Input readInput() {
    startReading(0);
    return take();
}

Input pollInput(int fd) {
    startReading(fd);
    return take();
}

} // namespace cli::console
