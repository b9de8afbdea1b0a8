// The flash engine: the flash sequence that brings a unit's bootloader up and
// sends it an image with the YMODEM sender (whose operations it also offers
// under their engine names). One engine lives for the life of the process; each run
// works on a snapshot of its properties taken when the run starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "flash/FirmwareImage.h"
#include "flash/StatusSink.h"
#include "ymodem/Ymodem.h"

// The receiver's operator prompt: the run waits until it is answered.
inline constexpr const char* kRadioModePrompt = "Set Telvo Controller Radio Mode to Tether/RX FW";

// How a run of startFlash ended.
enum class FlashOutcome {
    Success,       // "Starting Application..." was reached
    SerialFailure, // the port could not be opened, or a write or DTR change failed
    WrongMode,     // the unit answered with three 0xFF bytes
    Cancelled,     // the operator cancelled
    NoBanner,      // the bootloader did not answer 15 wake-ups
    SendError,     // the transfer failed
    TooLarge,      // the image needs more blocks than the bootloader takes
};

// What one run of startFlash worked on and what its transfer took, for the
// shells' flash records.
struct FlashRun {
    std::string port;
    FirmwareImage image; // none when the run had no image
    std::string name;
    bool transmitter = true;
    double transferSeconds = 0; // from the header block to the result; 0 without a transfer
    uint64_t wireBytes = 0;     // written to the unit during the transfer, resends included
};

class ZKFW {
public:
    // Transfer result codes of Ymodem_Transmit (those of the YMODEM sender).
    static constexpr uint32_t kSendOk = ymodem::kOk;
    static constexpr uint32_t kSendNoAck = ymodem::kNoAck;
    static constexpr uint32_t kSendNameTooLong = ymodem::kNameTooLong;
    static constexpr uint32_t kSendNoHeaderAck = ymodem::kNoHeaderAck;
    static constexpr uint32_t kSendCancelled = ymodem::kCancelled;
    static constexpr uint32_t kSendTooLarge = ymodem::kTooLarge;

    // The data blocks the unit's bootloader takes.
    static constexpr uint32_t kMaxBlocks = 192;
    static constexpr size_t kMaxImageSize = kMaxBlocks * 1024; // the largest image that fits
    static constexpr size_t kPacketSize = ymodem::kPacketSize;

    static uint64_t blockCount(uint64_t size) { return ymodem::blockCount(size); }
    static bool fitsInMemory(uint64_t size) { return blockCount(size) <= kMaxBlocks; }

    // --- Properties (each get and set is atomic) ---
    StatusSink* ui() const { return ui_.load(); }
    void setUi(StatusSink* ui) { ui_.store(ui); }
    std::string address() const;
    void setAddress(std::string address);
    FirmwareImage data() const;
    void setData(FirmwareImage data);
    std::string fName() const;
    void setFName(std::string fName);
    bool txSel() const { return txSel_.load(); }
    void setTxSel(bool txSel) { txSel_.store(txSel); }

    // --- CRC-16/XMODEM and block framing (see ymodem/Ymodem.h) ---
    static uint16_t UpdateCRC16(uint16_t crc, uint8_t byte) {
        return ymodem::updateCrc16(crc, byte);
    }
    static uint16_t Cal_CRC16(const uint8_t* bytes, uint32_t idx, uint32_t size) {
        return ymodem::crc16(bytes, idx, size);
    }
    static uint32_t Ymodem_PrepareIntialPacket(uint8_t* packet, std::string_view fn,
                                               std::string_view len) {
        ymodem::prepareHeader(packet, fn, len);
        return 0;
    }
    static void Ymodem_PreparePacket(const uint8_t* data, uint32_t idx, uint8_t* packet,
                                     uint8_t pktNo, uint32_t size) {
        ymodem::prepareBlock(data, idx, packet, pktNo, size);
    }

    // Sends one file as a YMODEM batch to a receiver waiting on the open
    // serial port, at most kMaxBlocks data blocks, reporting through ui().
    // Returns a transfer result code (kSend...).
    uint32_t Ymodem_Transmit(const uint8_t* data, std::string_view fn, uint32_t fnSize);

    // --- The flash sequence ---
    // Opens the port, brings the target's bootloader up, sends the image and
    // starts the new application. Reports through ui(); the caller closes the
    // port afterwards and shows a pending serial error.
    FlashOutcome startFlash();

    // The last run's snapshot and transfer figures; kept until the next run.
    FlashRun lastRun() const;

private:
    std::atomic<StatusSink*> ui_{nullptr};
    std::atomic<bool> txSel_{true};
    mutable std::mutex mutex_; // guards the four below
    std::string address_;
    FirmwareImage data_;
    std::string fName_;
    FlashRun lastRun_;
};
