// A serial link to a unit in the same process, on a virtual clock: bytes take
// their line time both ways, reads wait and delays sleep in virtual time, so a
// whole flash runs in milliseconds and exactly the same every time. The far
// end is a Peer: the virtual unit (UnitPeer) or a test's own script.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "line.h"
#include "options.h"
#include "serial/SerialLink.h"
#include "unit.h"
#include "unit_io.h"

namespace sim {

// The far end of a virtual line. Its replies go out through the UnitIo the
// link hands it.
class Peer {
public:
    virtual ~Peer() = default;
    virtual void input(uint8_t byte, Micros at) = 0;
    virtual void dtr(bool /*asserted*/, Micros /*at*/) {}
    virtual void tick(Micros /*now*/) {}
    // When tick is next due; negative when nothing is.
    virtual Micros deadline() const { return -1; }
    // True while it takes no input (writing flash).
    virtual bool busy(Micros /*now*/) const { return false; }
};

class VirtualLink : public SerialLink, public UnitIo {
public:
    struct Event {
        Micros at;
        std::string text;
    };

    VirtualLink() = default;
    void attach(Peer& peer) { peer_ = &peer; }
    // Opening `path` fails with `err` (as for a missing device by default),
    // `times` times or for ever.
    void refuse(const std::string& path, int err = 2, int times = -1) {
        refused_[path] = {err, times};
    }
    // Bytes sent at another speed are garbage to the peer, and dropped.
    void expectSpeed(uint32_t speed) { expectedSpeed_ = speed; }

    Micros time() const { return now_; }
    uint32_t speed() const { return speed_; }
    // What the peer logged ("boot", "dtr 1", "block 1 1024 ok", ...) with its
    // time, and the images it saved.
    const std::vector<Event>& events() const { return events_; }
    std::vector<std::string> eventsNamed(const std::string& prefix) const;
    const std::vector<std::vector<uint8_t>>& saved() const { return saved_; }

    // SerialLink
    int32_t open(const std::string& path, uint32_t speed) override;
    void close() override { open_ = false; }
    std::string_view readText() override;
    uint8_t readByte() override;
    bool lastReadEmpty() const override { return lastRead_.empty(); }
    void send(const uint8_t* bytes, int32_t length) override;
    void write(const uint8_t* bytes, int32_t length) override;
    void discardUntilSent() override;
    void flushInput() override;
    void setDTR(bool on) override;
    uint64_t bytesWritten() const override { return bytesWritten_; }
    void delayMs(uint32_t ms) override { advance(now_ + ms * kMillisecond); }
    std::chrono::steady_clock::duration now() const override;

    // UnitIo: the peer's side.
    void send(const std::vector<uint8_t>& bytes) override;
    void event(Micros at, const std::string& text) override;
    bool save(const std::vector<uint8_t>& image) override;
    void hangUp() override;

private:
    // Hands the peer every byte and timer due by `until`, in time order.
    void advance(Micros until);
    // Waits up to `budget` for a byte from the peer; true when one is there.
    bool waitForInput(Micros budget);
    // A read's wait: false at once on a hung-up line, after the budget on a
    // closed port or a silent line.
    bool readable();
    std::string_view take(size_t most);

    Peer* peer_ = nullptr;
    Micros now_ = 0;
    Micros peerTime_ = 0; // never runs backwards
    bool open_ = false;
    bool hungUp_ = false;
    uint32_t speed_ = 0;
    std::optional<uint32_t> expectedSpeed_;
    std::map<std::string, std::pair<int, int>> refused_; // path -> errno, times left
    PacedQueue toPeer_;
    PacedQueue fromPeer_;
    uint64_t bytesWritten_ = 0;
    std::string lastRead_;
    std::vector<Event> events_;
    std::vector<std::vector<uint8_t>> saved_;
};

// The virtual line, held in real time from the first read after `holdAt`
// bytes were written until released: a run stands still mid-transfer, so that
// a window can be looked at, or the run cancelled, at that point.
class HeldLink : public VirtualLink {
public:
    uint64_t holdAt = UINT64_MAX;
    std::atomic<bool> held{false}, released{false};

    std::string_view readText() override {
        hold();
        return VirtualLink::readText();
    }
    uint8_t readByte() override {
        hold();
        return VirtualLink::readByte();
    }

private:
    void hold() {
        if (bytesWritten() < holdAt || released.load()) {
            return;
        }
        held.store(true);
        while (!released.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

// The virtual unit (as zkunit-sim plays it) at the far end of a virtual link.
class UnitPeer : public Peer {
public:
    UnitPeer(Target target, const Faults& faults, VirtualLink& link)
        : faults_(faults), unit_(target, faults_, link) {
        link.attach(*this);
        link.expectSpeed(expectedSpeed(target));
    }
    void input(uint8_t byte, Micros at) override { unit_.input(byte, at); }
    void dtr(bool asserted, Micros at) override { unit_.dtr(asserted, at); }
    void tick(Micros now) override { unit_.tick(now); }
    Micros deadline() const override { return unit_.deadline(); }
    bool busy(Micros now) const override { return unit_.busy(now); }

private:
    const Faults faults_; // the unit keeps a reference
    Unit unit_;
};

// A held virtual line with the virtual unit at its far end.
class UnitLink : public HeldLink {
public:
    UnitLink(Target target, const Faults& faults) : peer_(target, faults, *this) {}

private:
    UnitPeer peer_;
};

} // namespace sim
