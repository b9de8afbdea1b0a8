#include "StationView.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "ZKAppDelegate.h"
#include "flash/FlashRecord.h"
#include "flash/printable.h"
#include "serial/ZKSerial.h"
#include "setup/SetupCheck.h"

namespace {

using station::SlotState;

constexpr int kTileColumns = 3;

const char* stateName(SlotState state) {
    switch (state) {
    case SlotState::Flashing:
        return "flashing";
    case SlotState::Operator:
        return "operator";
    case SlotState::Passed:
        return "passed";
    case SlotState::Failed:
        return "failed";
    case SlotState::Waiting:
        return "waiting";
    default:
        return "idle";
    }
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// The scanner's ports.
class ScannerWatch : public station::PortWatch {
public:
    explicit ScannerWatch(StationView::PortScanner scanner) : scanner_(std::move(scanner)) {}
    std::vector<station::PresentPort> present() override {
        return scanner_ ? scanner_() : std::vector<station::PresentPort>{};
    }

private:
    const StationView::PortScanner scanner_;
};

} // namespace

StationView::StationView(ZKAppDelegate& delegate, QWidget* parent)
    : QWidget(parent), delegate_(delegate),
      scanner_([watch = std::shared_ptr(station::systemPortWatch())] { return watch->present(); }),
      linkFactory_([](const std::string&) -> std::unique_ptr<SerialLink> {
          return std::make_unique<ZKSerial>();
      }),
      operatorEdit_(new QLineEdit(this)), workOrderEdit_(new QLineEdit(this)),
      startButton_(new QPushButton(QString::fromUtf8(kStartStationTitle), this)),
      answerButton_(new QPushButton(QStringLiteral("Answer"), this)), tilesLayout_(new QGridLayout),
      footer_(new QLabel(this)), scanTimer_(new QTimer(this)), handOffs_(this) {
    setObjectName(QStringLiteral("stationView"));
    operatorEdit_->setObjectName(QStringLiteral("operatorEdit"));
    operatorEdit_->setAccessibleName(QStringLiteral("Operator"));
    operatorEdit_->setPlaceholderText(QStringLiteral("Operator"));
    workOrderEdit_->setObjectName(QStringLiteral("workOrderEdit"));
    workOrderEdit_->setAccessibleName(QStringLiteral("Work order"));
    workOrderEdit_->setPlaceholderText(QStringLiteral("Work order"));
    startButton_->setObjectName(QStringLiteral("stationStartButton"));
    startButton_->setAccessibleName(QStringLiteral("Start or stop the station"));
    answerButton_->setObjectName(QStringLiteral("answerButton"));
    answerButton_->setAccessibleName(QStringLiteral("Answer every unit waiting"));
    answerButton_->setEnabled(false);
    // Enter on a focused button presses it, as in the single-unit view.
    startButton_->setAutoDefault(true);
    answerButton_->setAutoDefault(true);
    footer_->setObjectName(QStringLiteral("stationFooter"));
    footer_->setAccessibleName(QStringLiteral("Station counters"));
    QFont big = footer_->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    footer_->setFont(big);

    auto* controls = new QHBoxLayout;
    for (QLineEdit* edit : {operatorEdit_, workOrderEdit_}) {
        auto* label = new QLabel(edit->accessibleName() + QLatin1Char(':'), this);
        label->setBuddy(edit);
        controls->addWidget(label);
        controls->addWidget(edit, 2);
    }
    controls->addWidget(startButton_);
    controls->addWidget(answerButton_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(10);
    layout->addLayout(controls);
    layout->addLayout(tilesLayout_);
    for (int column = 0; column < kTileColumns; ++column) {
        tilesLayout_->setColumnStretch(column, 1);
    }
    layout->addStretch(1);
    layout->addWidget(footer_);
    setTabOrder(operatorEdit_, workOrderEdit_);
    setTabOrder(workOrderEdit_, startButton_);
    setTabOrder(startButton_, answerButton_);

    // Colour follows the state; the words say it too.
    setStyleSheet(
        QStringLiteral("QFrame#stationTile { border: 2px solid rgb(90, 90, 90); border-radius: 6px;"
                       " background: rgb(50, 50, 50); }"
                       "QFrame#stationTile[state=\"flashing\"] { background: rgb(30, 70, 130); }"
                       "QFrame#stationTile[state=\"operator\"] { background: rgb(150, 105, 0); }"
                       "QFrame#stationTile[state=\"passed\"] { background: rgb(30, 110, 50); }"
                       "QFrame#stationTile[state=\"failed\"] { background: rgb(150, 30, 30); }"
                       "QFrame#stationTile QLabel { color: white; }"));

    connect(startButton_, &QPushButton::clicked, this, &StationView::startOrStop);
    connect(answerButton_, &QPushButton::clicked, this, &StationView::answer);
    connect(scanTimer_, &QTimer::timeout, this, &StationView::scan);
}

StationView::~StationView() {
    runner_.reset();
    launcher_.reset(); // cancels the runs and waits for them
}

void StationView::startOrStop() {
    if (!runner_) {
        station::RunnerSettings settings;
        settings.job = delegate_.fw().job();
        if (!settings.job.image) {
            runAlert(window(), QString::fromUtf8(kApplicationName),
                     QStringLiteral("Please select a file to transfer."));
            return;
        }
        settings.job.fields = Json::object();
        const QString who = operatorEdit_->text().trimmed();
        const QString order = workOrderEdit_->text().trimmed();
        if (!who.isEmpty()) {
            settings.job.fields["operator"] = who.toStdString();
        }
        if (!order.isEmpty()) {
            settings.job.fields["work_order"] = order.toStdString();
        }
        settings.attemptsFrom = defaultRecordPath();
        prompts_.clear();
        for (const Tile& tile : tiles_) {
            delete tile.frame;
        }
        tiles_.clear();
        watch_ = std::make_unique<ScannerWatch>(scanner_);
        // A run's output is taken in on the main thread.
        launcher_ = std::make_unique<station::ThreadLauncher>(
            linkFactory_,
            RunSettings{"zkflash", ZK_VERSION, defaultRecordPath(), SetupCheck_FailureHint},
            [this] { handOffs_.post([this] { deliver(); }); });
        station::RunnerView& view = *this;
        runner_ = std::make_unique<station::Runner>(std::move(settings), *watch_, *launcher_, view);
        operatorEdit_->setEnabled(false);
        workOrderEdit_->setEnabled(false);
        startButton_->setText(QString::fromUtf8(kStopStationTitle));
        scan();
        scanTimer_->start(station::Runner::kScanInterval);
        return;
    }
    if (runner_->taking()) {
        runner_->stop();
        startButton_->setText(QString::fromUtf8(kCancelUnitsTitle));
        stopIfDone();
        return;
    }
    if (runner_->unitsRunning() > 0 &&
        runQuestion(window(), QString::fromUtf8(kApplicationName),
                    QStringLiteral("Cancel the units being flashed?"),
                    QStringLiteral("Units stopped during the transfer will have no application "
                                   "until they are flashed again.")) &&
        runner_) { // the units may all have ended while the question was open
        runner_->stop();
    }
}

void StationView::answer() {
    if (runner_) {
        runner_->answer();
    }
}

void StationView::scan() {
    if (runner_) {
        runner_->scan();
    }
}

void StationView::deliver() {
    if (runner_) {
        runner_->deliver();
        stopIfDone();
    }
}

void StationView::unitEvent(size_t row, const RunEvent& event) {
    if (event.kind == RunEvent::Kind::Prompt) {
        prompts_[row] = event.text;
    }
}

void StationView::unitEnded(size_t row, const station::RunEnd&) {
    prompts_.erase(row);
}

void StationView::stopIfDone() {
    if (runner_->done()) {
        scanTimer_->stop();
        refresh();
        runner_.reset();
        launcher_.reset();
        watch_.reset();
        operatorEdit_->setEnabled(true);
        workOrderEdit_->setEnabled(true);
        startButton_->setText(QString::fromUtf8(kStartStationTitle));
    }
}

StationView::Tile StationView::makeTile(size_t row) {
    Tile tile{};
    tile.frame = new QFrame(this);
    tile.frame->setObjectName(QStringLiteral("stationTile"));
    tile.frame->setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(tile.frame);
    tile.name = new QLabel(tile.frame);
    tile.serial = new QLabel(tile.frame);
    tile.state = new QLabel(tile.frame);
    tile.prompt = new QLabel(tile.frame);
    tile.name->setObjectName(QStringLiteral("tileName"));
    tile.serial->setObjectName(QStringLiteral("tileSerial"));
    tile.state->setObjectName(QStringLiteral("tileState"));
    tile.prompt->setObjectName(QStringLiteral("tilePrompt"));
    QFont font = tile.name->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.5);
    tile.name->setFont(font);
    // Readable from a metre away.
    font.setPointSizeF(font.pointSizeF() * 1.6);
    tile.state->setFont(font);
    tile.state->setWordWrap(true);
    tile.prompt->setWordWrap(true);
    // What a device carries is shown, never taken for markup.
    for (QLabel* label : {tile.name, tile.serial, tile.state, tile.prompt}) {
        label->setTextFormat(Qt::PlainText);
    }
    layout->addWidget(tile.name);
    layout->addWidget(tile.serial);
    layout->addWidget(tile.state, 1);
    layout->addWidget(tile.prompt);
    const int at = static_cast<int>(row);
    tilesLayout_->addWidget(tile.frame, at / kTileColumns, at % kTileColumns);
    return tile;
}

void StationView::refresh() {
    if (!runner_) {
        return;
    }
    const auto& rows = runner_->rows();
    bool asking = false;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i == tiles_.size()) {
            tiles_.push_back(makeTile(i));
        }
        const station::SlotRow& row = rows[i];
        const Tile& tile = tiles_[i];
        const QString name = qs(station::shownName(row));
        const QString state = qs(station::stateText(row));
        tile.name->setText(name);
        tile.serial->setText(row.serial.empty() ? QStringLiteral("no adapter serial")
                                                : qs(station::shownSerial(row)));
        tile.state->setText(state);
        const bool waiting = row.state == SlotState::Operator && prompts_.count(i) > 0;
        asking = asking || waiting;
        tile.prompt->setText(
            waiting ? qs(printable(prompts_[i])) + QStringLiteral(" — press Answer") : QString());
        tile.prompt->setVisible(waiting);
        if (tile.frame->property("state").toString() != QLatin1String(stateName(row.state))) {
            tile.frame->setProperty("state", stateName(row.state));
            tile.frame->style()->unpolish(tile.frame);
            tile.frame->style()->polish(tile.frame);
        }
        tile.frame->setAccessibleName(name);
        tile.frame->setAccessibleDescription(state);
    }
    answerButton_->setEnabled(asking);
    footer_->setText(qs(station::footerLine(runner_->totals())));
}
