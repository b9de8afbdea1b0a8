#include "flash/ZKFW.h"

#include "serial/ZKSerial.h"

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

uint32_t ZKFW::Ymodem_Transmit(const uint8_t* data, std::string_view fn, uint32_t fnSize) {
    SinkEvents events(*ui());
    return transmitImage(Serial_DefaultPort(), events, data, fn, fnSize);
}

FlashOutcome ZKFW::startFlash() {
    SinkEvents events(*ui());
    return flashSequence(job(), Serial_DefaultPort(), events);
}
