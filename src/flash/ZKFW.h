// The flash engine: its properties (the port, the image and the target) and
// startFlash, the run of the flash sequence with what it was given. One engine
// lives for the life of the window; each run works on a snapshot of its
// properties, so a file chosen while a run goes on changes nothing it sends.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "flash/FirmwareImage.h"
#include "flash/FlashRun.h"

class ZKFW {
public:
    // --- Properties (each get and set is atomic) ---
    std::string address() const;
    void setAddress(std::string address);
    FirmwareImage data() const;
    void setData(FirmwareImage data);
    std::string fName() const;
    void setFName(std::string fName);
    bool txSel() const { return txSel_.load(); }
    void setTxSel(bool txSel) { txSel_.store(txSel); }

    // The properties as a run's job, taken at once.
    FlashJob job() const;

    // The flash run on `link` with the properties as they are now: opens the
    // port, brings the target's bootloader up, sends the image, starts the
    // new application, reports a failure once, closes the port and appends
    // the record; `events` hears all of it.
    FlashResult startFlash(SerialLink& link, RunEvents& events, const RunSettings& settings) const;

private:
    std::atomic<bool> txSel_{true};
    mutable std::mutex mutex_; // guards the three below
    std::string address_;
    FirmwareImage data_;
    std::string fName_;
};
