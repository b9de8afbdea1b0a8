// zkflash: the firmware loader's window.
#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>
#include <memory>

#include "MainWindow.h"
#include "ZKAppDelegate.h"

namespace {

// --help and --version print and exit; they need no display.
bool textOnly(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        for (const char* option : {"-h", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], option) == 0) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    std::unique_ptr<QCoreApplication> app;
    if (textOnly(argc, argv)) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        app = std::make_unique<QApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QString::fromUtf8(kApplicationName));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Loads firmware into a radio unit over a USB-serial line."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Put the serial device PATH into the port box (e.g. a CDC-ACM adapter or "
                       "the virtual unit's pseudo-terminal)."),
        QStringLiteral("PATH"));
    parser.addOption(portOption);
    parser.addPositionalArgument(
        QStringLiteral("FILE"),
        QStringLiteral("Choose the firmware image FILE, as Browse does (*.bin, *.bintx, *.binrx)."),
        QStringLiteral("[FILE]"));
    parser.process(*app); // exits for --help, --version and unknown options
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        std::fprintf(stderr, "zkflash: one firmware file at most\n");
        return 2;
    }

    QGuiApplication::setDesktopFileName(QStringLiteral("zkflash"));
    QGuiApplication::setQuitOnLastWindowClosed(true);
    ZKAppDelegate delegate;
    MainWindow window(delegate);
    QObject::connect(app.get(), &QCoreApplication::aboutToQuit, &delegate,
                     &ZKAppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    if (parser.isSet(portOption)) {
        delegate.setTypedPort(parser.value(portOption));
    }
    if (!files.isEmpty()) {
        // Read and logged as a chosen file is; nothing starts.
        delegate.selectFirmwareFile(files.first());
    }
    window.show();
    return app->exec();
}
