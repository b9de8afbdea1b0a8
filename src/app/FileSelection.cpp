// The Browse button: loads one firmware file into the engine, chooses the
// target from its name and reports it in the log.
#include "ZKAppDelegate.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>

#include "flash/FirmwareFile.h"

void ZKAppDelegate::browseButton() {
    // Cleared before the dialog opens, so that a cancelled dialog leaves no
    // image. A run in progress keeps its own reference to what it sends.
    fw_->setData(nullptr);
    const QString path = fileChooser_ ? fileChooser_(outlets_.window) : QString();
    if (path.isEmpty()) {
        return;
    }
    const std::string name = QFileInfo(path).fileName().toStdString();
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
