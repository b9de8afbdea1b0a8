// Loader processes of this program, one per unit, as a parent sees them:
// each runs one flash with --json, so that a fault, hang or crash in one unit
// never stops, slows or corrupts another.
#pragma once

#include "cli/cli.h"

#include <chrono>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace cli {

struct ChildLoader {
    using Clock = std::chrono::steady_clock;
    // A whole line of the child's event stream (`events`) or standard error.
    using LineHandler = std::function<void(bool events, const std::string& line)>;

    pid_t pid = -1;
    int out = -1; // its event stream
    int err = -1; // its standard error
    int in = -1;  // its standard input: closing it answers its prompt
    std::string outLine;
    std::string errLine;
    int status = -1; // its exit status once reaped (128 + signal when killed)
    Clock::time_point started;
    Clock::time_point ended;

    // Starts this program with `args`. The child gets a process group of its
    // own: a terminal's Ctrl-C reaches only the parent, which passes it on.
    // False, with errno set, when it could not be started.
    bool start(const std::vector<std::string>& args);
    // Reads what `fd` (out or err) holds and hands on each whole line; at the
    // end of both streams the child is reaped.
    void read(int& fd, const LineHandler& onLine);
    // Answers its prompt: the end of its input.
    void answer();
    void signal(int sig) const;
    bool running() const { return status < 0 && pid > 0; }
    // Its streams to poll, each with the descriptor it belongs to.
    void pollable(std::vector<pollfd>& fds, std::vector<int*>& owners);

private:
    void reap();
};

// The arguments of a child that flashes `port` as `options` say: --json,
// --port, --yes, the record options, then `extra` and the firmware file.
std::vector<std::string> childArgs(const Options& options, const std::string& port,
                                   const std::vector<std::string>& extra = {});

// Writes `text` with every line behind "<prefix>: ".
void writePrefixed(std::FILE* to, const std::string& prefix, const std::string& text);

} // namespace cli
