// The status sink: log lines, alerts and progress from any thread. Calls made
// off the main thread are handed to it with copies of their arguments and
// return at once; the views are touched on the main thread only.
#include "ZKAppDelegate.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include "ZKLevelIndicator.h"
#include "flash/printable.h"
#include "flash/progress.h"

#include <cstdio>

void ZKAppDelegate::log(const std::string& text, const std::string& cr) {
    if (!isMainThread()) {
        handOffs_.post([this, text, cr] { log(text, cr); });
        return;
    }
    QPlainTextEdit* view = outlets_.logTextViewOutlet;
    if (view == nullptr) {
        return;
    }
    // Appending at the end gives the same text as rebuilding it whole, without
    // re-laying out the entire log for every line.
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    // A file's name is any bytes: shown, not obeyed.
    const std::string shown = printable(text, true);
    cursor.insertText(QString::fromUtf8(shown.data(), qsizetype(shown.size())) +
                      QString::fromUtf8(cr.data(), qsizetype(cr.size())));
    view->moveCursor(QTextCursor::End);
    // The cursor's own scrolling stops a line short of the end.
    if (QScrollBar* bar = view->verticalScrollBar()) {
        bar->setValue(bar->maximum());
    }
}

void ZKAppDelegate::showAlertWithMessage(const std::string& message,
                                         const std::optional<std::string>& title) {
    // Raised before the call returns, on whatever thread, so that the engine
    // waiting for the operator sees it at once.
    busy_.store(true);
    if (!isMainThread()) {
        handOffs_.post([this, message, title] { showAlertWithMessage(message, title); });
        return;
    }
    {
        // Hand-offs posted meanwhile wait for the dismissal, in order.
        HandOffQueue::Hold hold(handOffs_);
        runAlert(outlets_.window, QString::fromUtf8(title.value_or(kApplicationName).c_str()),
                 QString::fromUtf8(message.data(), qsizetype(message.size())));
    }
    busy_.store(false);
}

void ZKAppDelegate::setProgress(int32_t value, int32_t max) {
    if (!isMainThread()) {
        handOffs_.post([this, value, max] { setProgress(value, max); });
        return;
    }
    if (QLabel* label = outlets_.levelIndicatorTextOutlet) {
        label->setText(QString::fromStdString(progressLabel(value, max)));
    }
    if (ZKLevelIndicator* bar = outlets_.levelIndicatorOutlet) {
        bar->setValueWithMin(0.0f, float(max), float(value));
    }
}

void ZKAppDelegate::diagnostic(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void ZKAppDelegate::warning(const std::string& text) {
    std::fprintf(stderr, "zkflash: warning: %s\n", text.c_str());
}
