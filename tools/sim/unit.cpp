#include "unit.h"

namespace sim {

Unit::Unit(Target target, const Faults& faults, UnitIo& io)
    : target_(target), io_(io), radio_(faults, io), bootloader_(faults, io) {
    // The transmitter runs its application until reset. The receiver's
    // bootloader already waits (the operator started it with the FW button);
    // only its radio link is not set up yet.
    if (target_ == Target::Receiver) {
        bootloader_.reset();
    }
}

void Unit::input(uint8_t byte, Micros now) {
    if (inReset_) {
        return;
    }
    if (target_ == Target::Receiver && !radio_.input(byte, now)) {
        return;
    }
    bootloader_.input(byte, now);
}

void Unit::dtr(bool asserted, Micros at) {
    io_.event(at, asserted ? "dtr 1" : "dtr 0");
    if (asserted) {
        inReset_ = true;
        return;
    }
    if (!inReset_) {
        return;
    }
    inReset_ = false;
    radio_.reset();
    bootloader_.reset();
}

void Unit::tick(Micros now) {
    if (inReset_) {
        return;
    }
    if (target_ == Target::Receiver) {
        radio_.tick(now);
    }
    bootloader_.tick(now);
}

Micros Unit::deadline() const {
    if (inReset_) {
        return -1;
    }
    Micros next = bootloader_.deadline();
    if (target_ == Target::Receiver) {
        next = earliest(next, radio_.deadline());
    }
    return next;
}

} // namespace sim
