// zkflash: the firmware loader's window.
#include <QApplication>
#include <QCommandLineParser>

#include "MainWindow.h"
#include "ZKAppDelegate.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kApplicationName));
    QApplication::setApplicationVersion(QStringLiteral(ZK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("zkflash"));
    QApplication::setQuitOnLastWindowClosed(true);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Loads firmware into a radio unit over a USB-serial line."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("Put the serial device PATH into the port box."),
        QStringLiteral("PATH"));
    parser.addOption(portOption);
    parser.process(app);

    ZKAppDelegate delegate;
    MainWindow window(delegate);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &ZKAppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    if (parser.isSet(portOption)) {
        delegate.setTypedPort(parser.value(portOption));
    }
    window.show();
    return app.exec();
}
