// The flash engine: its properties (the sink it reports to, the port, the
// image and the target) and the flash sequence with the YMODEM sender's
// operations under their engine names. Each is a thin way into the library's
// run (FlashRun.h) on the process's default port. One engine lives for the
// life of the process; each run works on a snapshot of its properties.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "flash/FirmwareImage.h"
#include "flash/FlashRun.h"
#include "flash/StatusSink.h"
#include "ymodem/Ymodem.h"

class ZKFW {
public:
    // Transfer result codes of Ymodem_Transmit (those of the YMODEM sender).
    static constexpr uint32_t kSendOk = ymodem::kOk;
    static constexpr uint32_t kSendNoAck = ymodem::kNoAck;
    static constexpr uint32_t kSendNameTooLong = ymodem::kNameTooLong;
    static constexpr uint32_t kSendNoHeaderAck = ymodem::kNoHeaderAck;
    static constexpr uint32_t kSendCancelled = ymodem::kCancelled;
    static constexpr uint32_t kSendTooLarge = ymodem::kTooLarge;

    static constexpr uint32_t kMaxBlocks = ::kMaxBlocks;
    static constexpr size_t kMaxImageSize = ::kMaxImageSize;
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

    // The properties as a run's job, taken at once: a selection made while
    // the run goes on can neither change nor free what it sends.
    FlashJob job() const;

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

    // Sends one file as a YMODEM batch to a receiver waiting on the default
    // port, reporting through ui(). Returns a transfer result code (kSend...).
    uint32_t Ymodem_Transmit(const uint8_t* data, std::string_view fn, uint32_t fnSize);

    // The flash sequence on the default port, reporting through ui(): opens
    // the port, brings the target's bootloader up, sends the image and starts
    // the new application. The caller closes the port afterwards and shows a
    // pending serial error.
    FlashOutcome startFlash();

private:
    std::atomic<StatusSink*> ui_{nullptr};
    std::atomic<bool> txSel_{true};
    mutable std::mutex mutex_; // guards the three below
    std::string address_;
    FirmwareImage data_;
    std::string fName_;
};
