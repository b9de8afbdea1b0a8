#include "RunStatus.h"

#include <cmath>

namespace {

QString u8(const char* text) {
    return QString::fromUtf8(text);
}

// The advice the run's own alerts and notes give for these failures.
constexpr const char* kWrongModeAdvice = "Press FW button AFTER power up (within 2 seconds).";
constexpr const char* kTransmitterNoBannerAdvice =
    "Ensure the USB-serial adapter is listed by zkflash-cli --list and that its cable is "
    "plugged in firmly.\nDisconnect all cables (including power and USB) from Controller. "
    "Re-connect USB to reboot Controller and try again.";
constexpr const char* kReceiverNoBannerAdvice =
    "Press FW button after power up and hold for 5 seconds.";

QString failedText(const RunEnd& end, bool& checkSetup) {
    const FlashResult& r = end.result;
    if (r.failure || r.outcome == FlashOutcome::SerialFailure) {
        // The run's last alert is the failure with its hint.
        checkSetup = true;
        QString text = QString::fromStdString(end.lastAlert);
        if (text.isEmpty() && r.failure) {
            text = QString::fromStdString(failureText(*r.failure, FailureForm::Line));
        }
        if (!text.contains(QLatin1Char('\n'))) {
            text += u8("\nCheck setup shows what on this computer stands between the loader and "
                       "the adapter.");
        }
        return text;
    }
    switch (r.outcome) {
    case FlashOutcome::WrongMode:
        return u8("The unit is not in the correct mode.\n") + u8(kWrongModeAdvice);
    case FlashOutcome::NoBanner:
        return u8("The unit's bootloader did not respond.\n") +
               u8(end.transmitter ? kTransmitterNoBannerAdvice : kReceiverNoBannerAdvice);
    case FlashOutcome::TooLarge:
        return QStringLiteral("The image is larger than the unit's memory (%1 bytes); the unit "
                              "was not touched.\nChoose an image made for this unit.")
            .arg(kMaxImageSize);
    default:
        return u8("The transfer failed.\nCheck that the cable is plugged in firmly, then flash "
                  "the unit again.");
    }
}

} // namespace

QString clockText(double seconds) {
    const long total = std::isfinite(seconds) && seconds > 0 ? long(std::floor(seconds)) : 0;
    const long h = total / 3600, m = total / 60 % 60, s = total % 60;
    return h > 0 ? QStringLiteral("%1:%2:%3")
                       .arg(h)
                       .arg(m, 2, 10, QLatin1Char('0'))
                       .arg(s, 2, 10, QLatin1Char('0'))
                 : QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

QString progressText(const RunProgress& progress) {
    QString text = clockText(progress.elapsed) + u8(" elapsed");
    const TransferProgress& t = progress.transfer;
    if (t.rate > 0) {
        text += u8(" · ") + QString::number(t.rate / 1000.0, 'f', 1) + u8(" kB/s");
    }
    if (t.secondsLeft >= 0) {
        text += u8(" · about ") + clockText(std::ceil(t.secondsLeft)) + u8(" left");
    }
    return text;
}

EndState endStateOf(const RunEnd& end) {
    EndState state;
    const FlashResult& r = end.result;
    switch (r.outcome) {
    case FlashOutcome::Success:
        state.kind = EndState::Kind::Passed;
        state.heading = u8("Passed");
        state.text = QStringLiteral("%1, %2 bytes, flashed in %3.")
                         .arg(QString::fromStdString(end.name))
                         .arg(r.imageBytes)
                         .arg(clockText(end.seconds));
        break;
    case FlashOutcome::Cancelled:
        state.kind = EndState::Kind::Cancelled;
        state.heading = u8("Cancelled");
        state.text = u8(cancelledNote(r));
        break;
    default:
        state.kind = EndState::Kind::Failed;
        state.heading = u8("Failed");
        state.text = failedText(end, state.checkSetup);
        break;
    }
    return state;
}
