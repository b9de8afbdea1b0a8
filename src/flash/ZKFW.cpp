#include "flash/ZKFW.h"

#include "flash/markers.h"
#include "serial/ZKSerial.h"

#include <chrono>

namespace {

constexpr uint32_t kTransmitterSpeed = 115200;
constexpr uint32_t kReceiverSpeed = 109000;
constexpr int kBootloaderTries = 15;

constexpr const char* kWrongModeAlert =
    "Morra is not in the correct mode.  Press FW button AFTER power up (within 2 seconds).";
constexpr const char* kTransmitterNoBannerAlert =
    "Ensure the USB-serial adapter is listed by zkflash-cli --list and that its cable is "
    "plugged in firmly.\n\nDisconnect all cables (including power and USB) from Controller. "
    "Re-connect USB to reboot Controller and try again.";

// Hands the sender's reports to the status sink; without a sink nobody
// listens and nothing cancels.
class SinkObserver : public ymodem::Observer {
public:
    explicit SinkObserver(StatusSink* sink) : sink_(sink) {}
    void progress(uint32_t value, uint32_t max) override {
        if (sink_ != nullptr) {
            sink_->setProgress(static_cast<int32_t>(value), static_cast<int32_t>(max));
        }
    }
    bool cancelRequested() override { return sink_ != nullptr && sink_->cancelRequest(); }
    void log(std::string_view line) override {
        if (sink_ != nullptr) {
            sink_->log(std::string(line), "\n");
        }
    }

private:
    StatusSink* sink_;
};

} // namespace

uint32_t ZKFW::Ymodem_Transmit(const uint8_t* data, std::string_view fn, uint32_t fnSize) {
    SinkObserver observer(ui());
    return ymodem::transmit(data, fn, fnSize, kMaxBlocks, observer);
}

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

FlashRun ZKFW::lastRun() const {
    std::lock_guard lock(mutex_);
    return lastRun_;
}

FlashOutcome ZKFW::startFlash() {
    StatusSink& sink = *ui();
    // The run works on its own snapshot: a selection made meanwhile can
    // neither change nor free what is being sent.
    const std::string port = address();
    const FirmwareImage image = data();
    const std::string name = fName();
    const bool transmitter = txSel();
    const auto log = [&sink](const std::string& line) { sink.log(line, "\n"); };
    {
        std::lock_guard lock(mutex_);
        lastRun_ = FlashRun{port, image, name, transmitter};
    }

    if (!image) {
        sink.showAlertWithMessage("Please select a file to transfer.", std::nullopt);
        return FlashOutcome::SendError;
    }
    // Refused before the unit is touched: telling it to receive and then
    // stopping part-way would leave it a truncated image.
    if (!fitsInMemory(image->size())) {
        log("File Too Large for Memory!");
        return FlashOutcome::TooLarge;
    }

    // A run cancelled before it began leaves the unit alone: no reset, no
    // prompt, no radio commands.
    if (sink.cancelRequest()) {
        log("Process Canceled.");
        return FlashOutcome::Cancelled;
    }

    Serial_Open(port.c_str(), transmitter ? kTransmitterSpeed : kReceiverSpeed);
    if (Serial_HasError()) {
        return FlashOutcome::SerialFailure;
    }

    if (transmitter) {
        log("Resetting TX Processor...");
        Serial_DelayMs(500);
        Serial_SetDTR(true);
        Serial_DelayMs(500);
        Serial_SetDTR(false);
        log("Reset Complete.");
        Serial_DelayMs(100);
    } else {
        Serial_SetDTR(true);
        Serial_DelayMs(50);
        Serial_SetDTR(false);
        Serial_DelayMs(50);
        Serial_SetDTR(true);
        Serial_DelayMs(50);
        Serial_SetDTR(false);
        sink.showAlertWithMessage(kRadioModePrompt);
        while (sink.busy()) {
            Serial_DelayMs(100);
        }
        // The radio module's answers stay in the input; the bootloader wait
        // reads past them.
        Serial_WriteString("+++");
        Serial_DelayMs(1250);
        Serial_WriteString("ATDLFFFE\r\n");
        Serial_WriteString("ATCN\r\n");
    }
    if (Serial_HasError()) {
        return FlashOutcome::SerialFailure;
    }

    log("Waiting For Bootloader Start...");
    MarkerScanner scanner;
    for (int tries = 0;;) {
        const MarkerScanner::Marker marker = scanner.feed(Serial_ReadText());
        if (marker == MarkerScanner::Marker::Banner) {
            break;
        }
        if (marker == MarkerScanner::Marker::WrongMode) {
            sink.showAlertWithMessage(kWrongModeAlert);
            return FlashOutcome::WrongMode;
        }
        Serial_WriteString("BOOT");
        Serial_DelayMs(100);
        if (sink.cancelRequest()) {
            log("Process Canceled.");
            return FlashOutcome::Cancelled;
        }
        if (Serial_HasError()) {
            return FlashOutcome::SerialFailure;
        }
        if (++tries >= kBootloaderTries) {
            if (transmitter) {
                sink.showAlertWithMessage(kTransmitterNoBannerAlert);
                log("Bootloader Didn't Respond!");
            } else {
                log("Bootloader Didn't Respond!\n  NOTE: Press FW button after power up and hold "
                    "for 5 seconds.");
            }
            return FlashOutcome::NoBanner;
        }
    }

    log("Bootloader Started.");
    Serial_WriteString("1");
    Serial_DelayMs(100);
    Serial_FlushInput();
    log("Sending Firmware File...");

    const auto transferStart = std::chrono::steady_clock::now();
    const uint64_t writtenBefore = Serial_BytesWritten();
    const uint32_t result =
        Ymodem_Transmit(image->data(), name, static_cast<uint32_t>(image->size()));
    {
        std::lock_guard lock(mutex_);
        lastRun_.transferSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - transferStart).count();
        lastRun_.wireBytes = Serial_BytesWritten() - writtenBefore;
    }
    if (result >= 2 && result <= 19) {
        log("File Send Error!");
    } else if (result == kSendTooLarge) {
        log("File Too Large for Memory!");
    }
    Serial_DelayMs(500);
    Serial_FlushInput();
    if (result == kSendOk) {
        Serial_WriteString("2");
        // A start command that could not be written started nothing: the
        // run failed, and the shell shows the error.
        if (Serial_HasError()) {
            Serial_Close();
            return FlashOutcome::SerialFailure;
        }
        log("Starting Application...");
    }
    Serial_Close();

    switch (result) {
    case kSendOk:
        return FlashOutcome::Success;
    case kSendCancelled:
        return FlashOutcome::Cancelled;
    case kSendTooLarge:
        return FlashOutcome::TooLarge;
    default:
        return FlashOutcome::SendError;
    }
}
