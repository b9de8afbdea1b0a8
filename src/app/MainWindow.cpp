#include "MainWindow.h"

#include <QFontDatabase>

#include "ZKAppDelegate.h"
#include "ui_MainWindow.h"

MainWindow::MainWindow(ZKAppDelegate& delegate, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
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
