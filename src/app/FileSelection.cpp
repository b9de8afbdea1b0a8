// The Browse button: loads one firmware file into the engine, chooses the
// target from its name and reports it in the log.
#include "ZKAppDelegate.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>

namespace {

// The whole file, or none when it cannot be read.
FirmwareImage readImage(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return nullptr;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return nullptr;
    }
    return std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
}

} // namespace

void ZKAppDelegate::browseButton() {
    // Cleared before the dialog opens, so that a cancelled dialog leaves no
    // image. A run in progress keeps its own reference to what it sends.
    fw_->setData(nullptr);
    const QString path = fileChooser_ ? fileChooser_(outlets_.window) : QString();
    if (path.isEmpty()) {
        return;
    }
    const QString name = QFileInfo(path).fileName();
    fw_->setFName(name.toStdString());
    fw_->setData(readImage(path));
    fw_->setTxSel(!name.endsWith(QLatin1String(".binrx"), Qt::CaseSensitive));

    const FirmwareImage image = fw_->data();
    const uint64_t size = image ? image->size() : 0;
    const std::string line = "Loaded '" + fw_->fName() + "' with " + std::to_string(size) +
                             " bytes for " +
                             (fw_->txSel() ? "Halvo (Transmitter)" : "Morra (Receiver)");
    log(line, "\n");
    if (QLineEdit* field = outlets_.pathTextOutlet) {
        field->setText(name);
    }
}
