// The Browse button and a file dropped on the window: loads one firmware file
// into the engine, chooses the target from its name and reports it in the log.
#include "ZKAppDelegate.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <thread>

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
    const QFileInfo info(path);
    settings_->setValue(kLastFolderKey, info.absolutePath());
    // Read on a thread of its own: a file on a slow or stuck file system must
    // not freeze the window, and a read that never ends must not hold the
    // window's exit. The latest choice wins over one still loading.
    auto load = std::make_shared<FileLoad>();
    load->name = info.fileName().toStdString();
    loading_ = load;
    std::thread([load, file = QFile::encodeName(path).toStdString()] {
        FirmwareFile read = readFirmwareFile(file);
        std::lock_guard lock(load->mutex);
        load->file = std::move(read);
    }).detach();
    if (loadTimer_ == nullptr) {
        loadTimer_ = new QTimer(this);
        connect(loadTimer_, &QTimer::timeout, this, &ZKAppDelegate::checkFileLoad);
    }
    loadTimer_->start(10);
}

void ZKAppDelegate::checkFileLoad() {
    std::optional<FirmwareFile> file;
    if (loading_) {
        std::lock_guard lock(loading_->mutex);
        file = std::move(loading_->file);
    }
    if (!file) {
        return;
    }
    loadTimer_->stop();
    const std::string name = loading_->name;
    loading_.reset();
    fileLoaded(name, *file);
}

void ZKAppDelegate::fileLoaded(const std::string& name, const FirmwareFile& file) {
    fw_->setFName(name);
    // A file that cannot be read, or has nothing in it, is reported as 0
    // bytes and leaves no image.
    fw_->setData(file.image);
    fw_->setTxSel(selectsTransmitter(name));

    log(loadedLine(fw_->fName(), file.image ? file.size : 0, fw_->txSel()), "\n");
    if (QLineEdit* field = outlets_.pathTextOutlet) {
        field->setText(QString::fromStdString(name));
    }
}
