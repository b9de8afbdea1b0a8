// The virtual unit's process: the pseudo-terminal, the DTR socket fed by the
// modem-line library, the event log, and the loop that paces bytes between
// the line and the unit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <vector>

#include "line.h"
#include "options.h"
#include "unit.h"
#include "unit_io.h"

namespace sim {

class Simulator : public UnitIo {
public:
    explicit Simulator(const Options& options);
    ~Simulator() override;

    // Creates the output directory, the event log, the DTR socket and the
    // pseudo-terminal. False with `error` set on failure.
    bool setUp(std::string& error);
    // Runs until a signal, or until --once has its answer; returns the exit
    // status.
    int run();

    void send(const std::vector<uint8_t>& bytes) override;
    void event(Micros at, const std::string& text) override;
    bool save(const std::vector<uint8_t>& image) override;
    void hangUp() override;

    // Exit statuses.
    static constexpr int kExitOk = 0;
    static constexpr int kExitFailed = 1;
    static constexpr int kExitSetup = 2;
    // --once gives up after this long without input.
    static constexpr Micros kIdleLimit = 60 * kSecond;

private:
    Micros now() const;
    // The speed the loader runs its end of the line at: the pseudo-terminal's,
    // or the custom divisor's that the modem-line library reported.
    uint32_t lineSpeed() const;
    void readLine(Micros now);
    void readModemLines();
    // A loader's drain: answered when the adapter would report its
    // transmitter empty.
    void drainRequested(const sockaddr_un& from, socklen_t length);
    void answerDrains(Micros now);
    // Hands the unit every byte and timer due by `until`.
    void advance(Micros until);
    void writeLine(Micros now);

    const Options options_;
    std::filesystem::path dir_;
    std::FILE* log_ = nullptr;
    int socket_ = -1;
    int signals_ = -1;
    int opens_ = -1; // inotify: a loader opening the slave
    std::filesystem::path socketPath_;
    PtyLine line_;
    PacedQueue in_;
    PacedQueue out_;
    Unit unit_;
    int64_t startNs_ = 0;
    std::optional<uint32_t> speed_; // the loader's line speed when last heard
    uint32_t customSpeed_ = 0;      // bit/s of the line's custom divisor; 0: none
    Micros lastHeard_ = 0;
    Micros unitTime_ = 0;          // the unit's clock: never runs backwards
    Micros masterQuietUntil_ = -1; // back-off after a failed read
    struct Drain {
        Micros at;
        sockaddr_un to;
        socklen_t length;
    };
    std::vector<Drain> drains_; // loaders waiting in their drain
};

} // namespace sim
