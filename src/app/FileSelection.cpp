// The Browse button and a file dropped on the window: loads one firmware file
// into the engine, chooses the target from its name and reports it in the log.
#include "ZKAppDelegate.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QSettings>
#include <QUrl>

#include "flash/FirmwareFile.h"

namespace {

const QString kLastFolderKey = QStringLiteral("lastFolder");

} // namespace

void ZKAppDelegate::browseButton() {
    // Cleared before the dialog opens, so that a cancelled dialog leaves no
    // image. A run in progress keeps its own reference to what it sends.
    fw_->setData(nullptr);
    const QString folder = settings_->value(kLastFolderKey).toString();
    const QString path = fileChooser_ ? fileChooser_(outlets_.window, folder) : QString();
    if (!path.isEmpty()) {
        selectFirmwareFile(path);
    }
}

QString ZKAppDelegate::droppedFirmwareFile(const QMimeData* mime) {
    if (mime == nullptr || mime->urls().size() != 1 || !mime->urls().first().isLocalFile()) {
        return {};
    }
    // The types the Browse dialog offers.
    const QString path = mime->urls().first().toLocalFile();
    const QString suffix = QFileInfo(path).suffix();
    const bool firmware = suffix == "bin" || suffix == "bintx" || suffix == "binrx";
    return firmware ? path : QString();
}

void ZKAppDelegate::selectFirmwareFile(const QString& path) {
    const QFileInfo file(path);
    settings_->setValue(kLastFolderKey, file.absolutePath());
    const std::string name = file.fileName().toStdString();
    fw_->setFName(name);
    std::string reason; // an unreadable file is reported as 0 bytes, with no image
    fw_->setData(readFirmwareFile(QFile::encodeName(path).toStdString(), reason));
    fw_->setTxSel(selectsTransmitter(name));

    const FirmwareImage image = fw_->data();
    log(loadedLine(fw_->fName(), image ? image->size() : 0, fw_->txSel()), "\n");
    if (QLineEdit* field = outlets_.pathTextOutlet) {
        field->setText(QString::fromStdString(name));
    }
}
