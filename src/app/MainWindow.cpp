#include "MainWindow.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontDatabase>
#include <QLineEdit>
#include <QMimeData>

#include "ZKAppDelegate.h"
#include "ui_MainWindow.h"

MainWindow::MainWindow(ZKAppDelegate& delegate, QWidget* parent)
    : QWidget(parent), delegate_(delegate), ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    ui_->portSelect->setItemDelegate(new PortItemDelegate(ui_->portSelect));
    setAcceptDrops(true);
    // A drop anywhere on the window is a firmware file, not typed port text.
    if (QLineEdit* edit = ui_->portSelect->lineEdit()) {
        edit->setAcceptDrops(false);
    }
    ui_->logTextView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    ZKAppDelegate::Outlets outlets;
    outlets.window = this;
    outlets.logTextViewOutlet = ui_->logTextView;
    outlets.levelIndicatorOutlet = ui_->levelIndicator;
    outlets.levelIndicatorTextOutlet = ui_->levelIndicatorText;
    outlets.pathTextOutlet = ui_->pathText;
    outlets.portSelectOutlet = ui_->portSelect;
    outlets.startButtonOutlet = ui_->startButton;
    delegate.setOutlets(outlets);

    connect(ui_->startButton, &QPushButton::clicked, &delegate, &ZKAppDelegate::StartFirmwareLoad);
    connect(ui_->browseButton, &QPushButton::clicked, &delegate, &ZKAppDelegate::browseButton);
}

MainWindow::~MainWindow() = default;

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!ZKAppDelegate::droppedFirmwareFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QString path = ZKAppDelegate::droppedFirmwareFile(event->mimeData());
    if (!path.isEmpty()) {
        event->acceptProposedAction();
        delegate_.selectFirmwareFile(path);
    }
}
