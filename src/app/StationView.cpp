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
#include "serial/ports_linux.h"
#include "setup/SetupCheck.h"

namespace {

using station::Clock;
using station::SlotState;

// How often the ports are looked at, and how long a run tries an open again
// while udev is still busy with a port just plugged in: as the CLI station.
constexpr int kScanIntervalMs = 200;
constexpr uint32_t kOpenRetryMs = 2000;
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

} // namespace

// One unit's run: its thread, its port object and the flags the run polls.
struct StationView::Unit {
    size_t row = 0;
    int attempt = 1;
    std::unique_ptr<SerialLink> link;
    std::atomic<bool> cancel{false};
    std::atomic<bool> waiting{false}; // for the operator's answer
    std::thread thread;
};

// A run's events as the station takes them: handed to the main thread; a
// prompt holds the run until the operator answers it.
class StationView::Events : public RunEvents {
public:
    Events(StationView& view, Unit& unit) : view_(view), unit_(unit) {}

    void event(const RunEvent& event) override {
        switch (event.kind) {
        case RunEvent::Kind::Prompt:
            unit_.waiting.store(true);
            break;
        case RunEvent::Kind::Log:
        case RunEvent::Kind::Progress:
            break;
        default:
            return; // the failure shows in the tile; the record in the file
        }
        view_.handOffs_.post([view = &view_, unit = &unit_, event] { view->event(unit, event); });
    }
    bool cancelRequested() override { return unit_.cancel.load(); }
    bool busy() override { return unit_.waiting.load(); }

private:
    StationView& view_;
    Unit& unit_;
};

StationView::StationView(ZKAppDelegate& delegate, QWidget* parent)
    : QWidget(parent), delegate_(delegate),
      scanner_([] { return station::presentPorts(Serial_SysRoot(), Serial_DevRoot()); }),
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
    cancelAll();
    for (const auto& unit : units_) {
        unit->thread.join();
    }
}

void StationView::cancelAll() {
    for (const auto& unit : units_) {
        unit->cancel.store(true);
        unit->waiting.store(false);
    }
}

void StationView::startOrStop() {
    if (!station_) {
        job_ = delegate_.fw().job();
        if (!job_.image) {
            runAlert(window(), QString::fromUtf8(kApplicationName),
                     QStringLiteral("Please select a file to transfer."));
            return;
        }
        job_.openRetryMs = kOpenRetryMs;
        job_.fields = Json::object();
        const QString who = operatorEdit_->text().trimmed();
        const QString order = workOrderEdit_->text().trimmed();
        if (!who.isEmpty()) {
            job_.fields["operator"] = who.toStdString();
        }
        if (!order.isEmpty()) {
            job_.fields["work_order"] = order.toStdString();
        }
        attempts_ = std::make_unique<station::Attempts>(defaultRecordPath());
        prompts_.clear();
        for (const Tile& tile : tiles_) {
            delete tile.frame;
        }
        tiles_.clear();
        station_.emplace(std::vector<station::SlotSpec>{}, Clock::now());
        operatorEdit_->setEnabled(false);
        workOrderEdit_->setEnabled(false);
        startButton_->setText(QString::fromUtf8(kStopStationTitle));
        scan();
        scanTimer_->start(kScanIntervalMs);
        return;
    }
    if (station_->taking()) {
        station_->stopTaking();
        startButton_->setText(QString::fromUtf8(kCancelUnitsTitle));
        stopIfDone();
        return;
    }
    if (!units_.empty() &&
        runQuestion(window(), QString::fromUtf8(kApplicationName),
                    QStringLiteral("Cancel the units being flashed?"),
                    QStringLiteral("Units stopped during the transfer will have no application "
                                   "until they are flashed again."))) {
        cancelAll();
    }
}

void StationView::answer() {
    if (!station_) {
        return;
    }
    // Only the units whose prompt the operator can see: one that has just
    // asked waits for the next answer.
    for (const auto& unit : units_) {
        if (station_->rows()[unit->row].state == SlotState::Operator) {
            unit->waiting.store(false);
        }
    }
}

void StationView::scan() {
    if (!station_) {
        return;
    }
    const auto changes =
        station_->see(scanner_ ? scanner_() : std::vector<station::PresentPort>{}, Clock::now());
    for (const size_t row : changes.start) {
        start(row);
    }
    // A run whose unit went away finds its line gone at its next read; one
    // waiting for the operator is let go so that it gets there.
    for (const size_t row : changes.gone) {
        for (const auto& unit : units_) {
            if (unit->row == row) {
                unit->waiting.store(false);
            }
        }
    }
    refresh();
}

void StationView::start(size_t row) {
    const station::SlotRow& slot = station_->rows()[row];
    auto unit = std::make_unique<Unit>();
    unit->row = row;
    unit->link = linkFactory_(slot.port);
    FlashJob job = job_;
    job.port = slot.port;
    job.fields.update(attempts_->fieldsForNextRun(slot));
    unit->attempt = job.fields["attempt"];
    Unit* run = unit.get();
    units_.push_back(std::move(unit));
    // The end is handed over once the run is done with the line, so that
    // joining the thread then does not wait.
    run->thread = std::thread([this, run, job = std::move(job)] {
        Events events(*this, *run);
        FlashResult result =
            runFlash(job, *run->link, events,
                     {"zkflash", ZK_VERSION, defaultRecordPath(), SetupCheck_FailureHint});
        handOffs_.post([this, run, result = std::move(result)] { ended(run, result); });
    });
}

void StationView::event(Unit* unit, const RunEvent& event) {
    if (!station_) {
        return;
    }
    if (event.kind == RunEvent::Kind::Prompt) {
        prompts_[unit->row] = event.text;
    }
    station_->event(unit->row, event);
    refresh();
}

void StationView::ended(Unit* unit, const FlashResult& result) {
    unit->thread.join();
    station_->finished(unit->row, result.outcome,
                       station::shortReason(result.outcome, result.failure), unit->attempt == 1,
                       Clock::now());
    prompts_.erase(unit->row);
    units_.remove_if([unit](const auto& u) { return u.get() == unit; });
    refresh();
    stopIfDone();
}

void StationView::stopIfDone() {
    if (!station_->taking() && units_.empty()) {
        scanTimer_->stop();
        refresh();
        station_.reset();
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
    layout->addWidget(tile.name);
    layout->addWidget(tile.serial);
    layout->addWidget(tile.state, 1);
    layout->addWidget(tile.prompt);
    const int at = static_cast<int>(row);
    tilesLayout_->addWidget(tile.frame, at / kTileColumns, at % kTileColumns);
    return tile;
}

void StationView::refresh() {
    if (!station_) {
        return;
    }
    const auto& rows = station_->rows();
    bool asking = false;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i == tiles_.size()) {
            tiles_.push_back(makeTile(i));
        }
        const station::SlotRow& row = rows[i];
        const Tile& tile = tiles_[i];
        const QString name = qs(row.label.empty() ? row.socket : row.label);
        const QString state = qs(station::stateText(row));
        tile.name->setText(name);
        tile.serial->setText(row.serial.empty() ? QStringLiteral("no adapter serial")
                                                : qs(row.serial));
        tile.state->setText(state);
        const bool waiting = row.state == SlotState::Operator && prompts_.count(i) > 0;
        asking = asking || waiting;
        tile.prompt->setText(waiting ? qs(prompts_[i]) + QStringLiteral(" — press Answer")
                                     : QString());
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
    footer_->setText(qs(station::footerLine(station_->totals(Clock::now()))));
}
