// zkflash-screenshot: renders the window in a typical mid-run state to a PNG,
// and optionally the receiver's radio-mode prompt over it to a second PNG
// (used by scripts/screenshot for the documentation).
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "MainWindow.h"
#include "ZKAppDelegate.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kApplicationName));
    if (argc < 2) {
        std::fprintf(stderr, "usage: zkflash-screenshot OUT.png [ALERT.png]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);

    ZKAppDelegate delegate;
    delegate.setPortLister([](std::vector<std::string>& list) {
        list.push_back("/dev/ttyUSB0");
        list.push_back("/dev/ttyUSB1");
    });
    MainWindow window(delegate);
    delegate.applicationDidFinishLaunching();

    const ZKAppDelegate::Outlets& o = delegate.outlets();
    o.pathTextOutlet->setText(QStringLiteral("halvo-2.4.1.bintx"));
    o.startButtonOutlet->setText(QString::fromUtf8(kCancelTitle));
    for (const char* line :
         {"Loaded 'halvo-2.4.1.bintx' with 118784 bytes for Halvo (Transmitter)",
          "Resetting TX Processor...", "Reset Complete.", "Waiting For Bootloader Start...",
          "Bootloader Started.", "Sending Firmware File..."}) {
        delegate.log(line, "\n");
    }
    delegate.setProgress(71680, 118784);
    window.resize(640, 420);
    window.show();

    int status = 1;
    QTimer::singleShot(500, &window, [&] {
        status = window.grab().save(out, "PNG") ? 0 : 1;
        if (argc < 3) {
            app.quit();
            return;
        }
        QTimer::singleShot(500, &window, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->grab().save(QString::fromLocal8Bit(argv[2]), "PNG")) {
                status = 1;
            }
            app.quit();
        });
        delegate.showAlertWithMessage("Set Telvo Controller Radio Mode to Tether/RX FW");
    });
    app.exec();
    if (status != 0) {
        std::fprintf(stderr, "zkflash-screenshot: cannot write %s\n", argv[1]);
    }
    return status;
}
