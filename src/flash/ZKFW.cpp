#include "flash/ZKFW.h"

std::string ZKFW::address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

void ZKFW::setAddress(std::string address) {
    std::lock_guard lock(mutex_);
    address_ = std::move(address);
}

FirmwareImage ZKFW::data() const {
    std::lock_guard lock(mutex_);
    return data_;
}

void ZKFW::setData(FirmwareImage data) {
    std::lock_guard lock(mutex_);
    data_ = std::move(data);
}

std::string ZKFW::fName() const {
    std::lock_guard lock(mutex_);
    return fName_;
}

void ZKFW::setFName(std::string fName) {
    std::lock_guard lock(mutex_);
    fName_ = std::move(fName);
}

FlashJob ZKFW::job() const {
    std::lock_guard lock(mutex_);
    return FlashJob{address_, data_, fName_, txSel()};
}

FlashResult ZKFW::startFlash(SerialLink& link, RunEvents& events,
                             const RunSettings& settings) const {
    return runFlash(job(), link, events, settings);
}
