#include "MainWindow.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QScrollBar>
#include <QSettings>
#include <QStyle>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "Platform.h"
#include "RunStatus.h"
#include "StationView.h"
#include "ZKAppDelegate.h"
#include "ui_MainWindow.h"

namespace {
const QString kViewKey = QStringLiteral("view");
const QString kStationView = QStringLiteral("station");
const QString kSingleUnitView = QStringLiteral("single unit");
constexpr const char* kRunRule = "────────────────────";
} // namespace

MainWindow::MainWindow(ZKAppDelegate& delegate, QWidget* parent)
    : QWidget(parent), delegate_(delegate), ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    stationView_ = new StationView(delegate);
    ui_->views->addWidget(stationView_);
    viewToggle_ = new QPushButton(this);
    viewToggle_->setObjectName(QStringLiteral("viewToggle"));
    viewToggle_->setAccessibleName(QStringLiteral("Switch view"));
    viewToggle_->setAutoDefault(true);
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(16, 8, 16, 0);
    bar->addStretch(1);
    bar->addWidget(viewToggle_);
    ui_->mainLayout->insertLayout(0, bar);
    setTabOrder(viewToggle_, ui_->portSelect);
    showStation(false);
    connect(viewToggle_, &QPushButton::clicked, this, [this] {
        showStation(!stationShown());
        delegate_.settings().setValue(kViewKey, stationShown() ? kStationView : kSingleUnitView);
    });
    // The settings are the delegate's once it has launched.
    connect(&delegate, &ZKAppDelegate::launched, this, [this] {
        showStation(delegate_.settings().value(kViewKey).toString() == kStationView);
    });
    ui_->portSelect->setItemDelegate(new PortItemDelegate(ui_->portSelect));
    setAcceptDrops(true);
    // A drop anywhere on the window is a firmware file, not typed port text.
    if (QLineEdit* edit = ui_->portSelect->lineEdit()) {
        edit->setAcceptDrops(false);
        // Assistive technology announces the field inside the box, not the box.
        edit->setAccessibleName(ui_->portSelect->accessibleName());
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

    connect(ui_->startButton, &QPushButton::clicked, this, &MainWindow::startOrCancelSingleUnit);
    connect(ui_->browseButton, &QPushButton::clicked, &delegate, &ZKAppDelegate::browseButton);
    connect(ui_->checkSetupButton, &QPushButton::clicked, &delegate, &ZKAppDelegate::checkSetup);
    connect(&delegate, &ZKAppDelegate::runStarted, this, &MainWindow::showRunStarted);
    connect(&delegate, &ZKAppDelegate::runProgress, this, &MainWindow::showRunProgress);
    connect(&delegate, &ZKAppDelegate::runFinished, this, &MainWindow::showRunEnd);
}

MainWindow::~MainWindow() = default;

bool MainWindow::stationShown() const {
    return ui_->views->currentWidget() == stationView_;
}

void MainWindow::showStation(bool station) {
    ui_->views->setCurrentWidget(station ? static_cast<QWidget*>(stationView_)
                                         : ui_->singleUnitView);
    // The button names the view it switches to.
    viewToggle_->setText(station ? QStringLiteral("Single unit") : QStringLiteral("Station"));
}

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

void MainWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A focused button takes Enter itself; elsewhere it starts a run, and
        // never cancels one; in the station it answers the units waiting.
        if (stationShown()) {
            stationView_->answer();
        } else if (delegate_.cancelRequest() && !delegate_.workerRunning()) {
            startOrCancelSingleUnit();
        }
        break;
    case Qt::Key_Escape:
        if (!stationShown()) {
            delegate_.cancelFromKeyboard();
        }
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void MainWindow::startOrCancelSingleUnit() {
    if (delegate_.cancelRequest() && stationView_->running()) {
        runAlert(this, QString::fromUtf8(kApplicationName),
                 QStringLiteral("Stop the station first."));
        return;
    }
    delegate_.StartFirmwareLoad();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    StationView& station = *stationView_;
    if (station.unitsRunning() > 0 &&
        !runQuestion(this, QString::fromUtf8(kApplicationName),
                     QStringLiteral("Stop the station and cancel its units?"),
                     QStringLiteral("Units stopped during the transfer will have no application "
                                    "until they are flashed again."))) {
        event->ignore();
        return;
    }
    if (!station.shutDown(StationView::kShutDownWait)) {
        std::fprintf(stderr, "zkflash: the station's runs did not stop; exiting.\n");
        std::_Exit(EXIT_FAILURE);
    }
    QWidget::closeEvent(event);
}

void MainWindow::showRunStarted() {
    // Each run's lines under a rule of their own, so that runs read apart.
    if (!ui_->logTextView->document()->isEmpty()) {
        delegate_.log(kRunRule, "\n");
    }
    ui_->endStatePanel->hide();
    ui_->timeText->clear();
    setCheckSetupOffered(false);
}

void MainWindow::showRunProgress(const RunProgress& progress) {
    ui_->timeText->setText(progressText(progress));
}

void MainWindow::showRunEnd(const RunEnd& end) {
    const EndState state = endStateOf(end);
    static constexpr const char* kStateNames[] = {"passed", "failed", "cancelled"};
    QFrame* panel = ui_->endStatePanel;
    panel->setProperty("state", kStateNames[int(state.kind)]);
    panel->style()->unpolish(panel);
    panel->style()->polish(panel);
    panel->setAccessibleDescription(state.heading + QLatin1Char('\n') + state.text);
    ui_->endStateHeading->setText(state.heading);
    ui_->endStateText->setText(state.text);
    ui_->timeText->clear();
    setCheckSetupOffered(state.checkSetup);
    panel->show();
    // The panel takes room from the log once laid out: its last lines stay
    // in sight.
    QTimer::singleShot(0, this, [this] {
        QScrollBar* bar = ui_->logTextView->verticalScrollBar();
        bar->setValue(bar->maximum());
    });
}

void MainWindow::setCheckSetupOffered(bool offered) {
    QPushButton* button = ui_->checkSetupButton;
    button->setProperty("offered", offered);
    button->style()->unpolish(button);
    button->style()->polish(button);
}
