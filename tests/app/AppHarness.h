// A launched window and delegate for tests, and a dismisser for modal alerts.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MainWindow.h"
#include "ZKAppDelegate.h"
#include "ZKLevelIndicator.h"

struct SeenAlert {
    QString windowTitle;
    QString heading;
    QString message;
    bool plainText = false;
};

// Presses "OK" on every modal message box that comes up, after `onShow` has
// looked at it, and records what each one said.
class AlertCatcher : public QObject {
public:
    std::vector<SeenAlert> seen;
    std::function<void(QMessageBox*)> onShow;
    bool dismiss = true;

    AlertCatcher() {
        timer_.setInterval(10);
        connect(&timer_, &QTimer::timeout, this, &AlertCatcher::poll);
        timer_.start();
    }

    QStringList messages() const {
        QStringList list;
        for (const SeenAlert& alert : seen) {
            list << alert.message;
        }
        return list;
    }

private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        // A property, not the address: the next box may reuse the last one's.
        if (box == nullptr || box->property("zkSeen").toBool()) {
            return;
        }
        box->setProperty("zkSeen", true);
        auto* informative = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
        seen.push_back({box->windowTitle(), box->text(),
                        informative ? informative->text() : QString(),
                        informative && informative->textFormat() == Qt::PlainText &&
                            box->textFormat() == Qt::PlainText});
        if (onShow) {
            onShow(box);
        }
        if (dismiss) {
            box->button(QMessageBox::Ok)->click();
        }
    }

    QTimer timer_;
};

// The window as the application builds it, with an injected port list.
struct AppHarness {
    std::vector<std::string> ports;
    int listings = 0;
    ZKAppDelegate delegate;
    MainWindow window{delegate};

    AppHarness() {
        delegate.setPortLister([this](std::vector<std::string>& list) {
            ++listings;
            list.insert(list.end(), ports.begin(), ports.end());
        });
        delegate.applicationDidFinishLaunching();
        window.show();
    }
    ~AppHarness() { delegate.applicationWillTerminate(); }

    const ZKAppDelegate::Outlets& o() const { return delegate.outlets(); }
    QString logText() const { return o().logTextViewOutlet->toPlainText(); }
    QString startTitle() const { return o().startButtonOutlet->text(); }
    QString percent() const { return o().levelIndicatorTextOutlet->text(); }
};
