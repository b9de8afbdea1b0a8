// A launched window and delegate for tests, and a dismisser for modal alerts.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include "MainWindow.h"
#include "ZKAppDelegate.h"
#include "ZKLevelIndicator.h"

// Presses "OK" on every modal message box that comes up (or `answer` on a
// question), after `onShow` has looked at it, and records what each one said.
struct AlertCatcher {
    QStringList headings, messages;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    bool plainText = true;  // every text so far shown as it is
    bool likeWindow = true; // every box so far in the window's colours, its lines unwrapped
    std::function<void()> onShow;
    QTimer timer;

    AlertCatcher() {
        timer.callOnTimeout([this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            // A property, not the address: the next box may reuse the last one's.
            if (box == nullptr || box->property("zkSeen").toBool()) {
                return;
            }
            box->setProperty("zkSeen", true);
            auto* info = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
            headings << box->text();
            messages << (info ? info->text() : QString()); // no label for an empty text
            plainText = plainText && box->textFormat() == Qt::PlainText &&
                        (!info || info->textFormat() == Qt::PlainText);
            const QWidget* window = box->parentWidget();
            likeWindow = likeWindow && window != nullptr &&
                         box->palette().color(QPalette::Window) ==
                             window->palette().color(QPalette::Window) &&
                         (!info || info->fontMetrics().horizontalAdvance(
                                       info->text().section('\n', 0, 0)) <= info->width());
            if (onShow) {
                onShow();
            }
            QAbstractButton* ok = box->button(QMessageBox::Ok);
            (ok != nullptr ? ok : box->button(answer))->click();
        });
        timer.start(10);
    }
};

// The window as the application builds it, with an injected port list whose
// descriptions are "about <path>", and settings kept in `settingsFile` (a
// file of its own when none is given).
struct AppHarness {
    QStringList ports;
    int listings = 0;
    QTemporaryDir settingsDir;
    ZKAppDelegate delegate;
    MainWindow window{delegate};

    explicit AppHarness(const QString& settingsFile = {}) {
        delegate.setSettings(std::make_unique<QSettings>(
            settingsFile.isEmpty() ? settingsDir.filePath("zkflash.conf") : settingsFile,
            QSettings::IniFormat));
        delegate.setPortLister([this](std::vector<std::string>& list) {
            ++listings;
            for (const QString& port : ports) {
                list.push_back(port.toStdString());
            }
        });
        delegate.setPortDescriber([](const std::string& path) { return "about " + path; });
        delegate.applicationDidFinishLaunching();
        window.show();
    }
    ~AppHarness() { delegate.applicationWillTerminate(); }

    const ZKAppDelegate::Outlets& o() const { return delegate.outlets(); }
    QString logText() const { return o().logTextViewOutlet->toPlainText(); }
    QString startTitle() const { return o().startButtonOutlet->text(); }
    QString percent() const { return o().levelIndicatorTextOutlet->text(); }
    // A view the delegate has no outlet for, by its name in MainWindow.ui.
    template <typename T = QLabel> T* view(const char* name) const {
        return window.findChild<T*>(QString::fromLatin1(name));
    }
};
