#include "StationView.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>

#include "ZKAppDelegate.h"
#include "flash/FlashRecord.h"
#include "flash/printable.h"
#include "serial/ZKSerial.h"
#include "setup/SetupCheck.h"

namespace {

using station::SlotState;

const QString kOperatorKey = QStringLiteral("station/operator");
const QString kWorkOrderKey = QStringLiteral("station/workOrder");
const QString kSocketsKey = QStringLiteral("station/sockets");
const QString kMetricsFileKey = QStringLiteral("station/metricsFile");
const QString kRequireOperatorKey = QStringLiteral("station/requireOperator");

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

constexpr QChar kNoBreak(0x00A0);
constexpr QChar kNoBreakHyphen(0x2011);

// A number stays with its unit ("17 %", "10.8 kB/s", "0:06 left"), so a label
// that wraps never parts them.
QString keepNumbers(QString text) {
    static const QRegularExpression numberThenSpace(QStringLiteral("(\\d) "));
    return text.replace(numberThenSpace, QStringLiteral("\\1") + kNoBreak);
}

// The footer wraps between its counters, never inside one.
QString footerText(const std::string& line) {
    QStringList parts = qs(line).split(QStringLiteral("  "), Qt::SkipEmptyParts);
    for (QString& part : parts) {
        part.replace(QLatin1Char(' '), kNoBreak).replace(QLatin1Char('-'), kNoBreakHyphen);
    }
    return parts.join(QStringLiteral("  "));
}

// A tile's state with its percent, rate and time left on lines of their own.
QString tileStateText(const std::string& state) {
    static const QRegularExpression gap(QStringLiteral("\\s{2,}"));
    QStringList lines = qs(state).split(gap, Qt::SkipEmptyParts);
    if (lines.size() > 1 && lines[0] == QLatin1String("flashing")) { // "flashing  17 %"
        lines[1].prepend(QStringLiteral("flashing "));
        lines.removeFirst();
    }
    return keepNumbers(lines.join(QLatin1Char('\n')));
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
      socketsEdit_(new QLineEdit(this)), metricsEdit_(new QLineEdit(this)),
      startButton_(new QPushButton(QString::fromUtf8(kStartStationTitle), this)),
      answerButton_(new QPushButton(QStringLiteral("Answer"), this)), tilesLayout_(new QGridLayout),
      footer_(new QLabel(this)), image_(new QLabel(this)), placeholder_(new QLabel(this)),
      scanTimer_(new QTimer(this)), handOffs_(this) {
    setObjectName(QStringLiteral("stationView"));
    operatorEdit_->setObjectName(QStringLiteral("operatorEdit"));
    operatorEdit_->setAccessibleName(QStringLiteral("Operator"));
    operatorEdit_->setPlaceholderText(QStringLiteral("Operator"));
    workOrderEdit_->setObjectName(QStringLiteral("workOrderEdit"));
    workOrderEdit_->setAccessibleName(QStringLiteral("Work order"));
    workOrderEdit_->setPlaceholderText(QStringLiteral("Work order"));
    socketsEdit_->setObjectName(QStringLiteral("socketsEdit"));
    socketsEdit_->setAccessibleName(QStringLiteral("Sockets"));
    socketsEdit_->setPlaceholderText(
        QStringLiteral("any unit adapter; or SOCKET=LABEL, ... as --slot takes them"));
    metricsEdit_->setObjectName(QStringLiteral("metricsEdit"));
    metricsEdit_->setAccessibleName(QStringLiteral("Metrics file"));
    metricsEdit_->setPlaceholderText(QStringLiteral("none; or a .prom file in node_exporter's "
                                                    "textfile folder"));
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
    footer_->setWordWrap(true);
    image_->setObjectName(QStringLiteral("stationImage"));
    image_->setTextFormat(Qt::PlainText);
    image_->setWordWrap(true);
    placeholder_->setObjectName(QStringLiteral("stationPlaceholder"));
    placeholder_->setTextFormat(Qt::PlainText);
    placeholder_->setAlignment(Qt::AlignCenter);
    placeholder_->setWordWrap(true);
    QFont hint = placeholder_->font();
    hint.setPointSizeF(hint.pointSizeF() * 1.4);
    placeholder_->setFont(hint);

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
    auto* socketsRow = new QHBoxLayout;
    auto* socketsLabel = new QLabel(QStringLiteral("Sockets:"), this);
    socketsLabel->setBuddy(socketsEdit_);
    socketsRow->addWidget(socketsLabel);
    socketsRow->addWidget(socketsEdit_, 2);
    auto* metricsLabel = new QLabel(metricsEdit_->accessibleName() + QLatin1Char(':'), this);
    metricsLabel->setBuddy(metricsEdit_);
    socketsRow->addWidget(metricsLabel);
    socketsRow->addWidget(metricsEdit_, 1);
    layout->addLayout(socketsRow);
    layout->addWidget(image_);
    layout->addWidget(placeholder_, 1);
    layout->addLayout(tilesLayout_);
    for (int column = 0; column < kTileColumns; ++column) {
        tilesLayout_->setColumnStretch(column, 1);
    }
    layout->addStretch(1);
    layout->addWidget(footer_);
    setTabOrder(operatorEdit_, workOrderEdit_);
    setTabOrder(workOrderEdit_, socketsEdit_);
    setTabOrder(socketsEdit_, metricsEdit_);
    setTabOrder(metricsEdit_, startButton_);
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
    // The settings are the delegate's once it has launched.
    connect(&delegate, &ZKAppDelegate::launched, this, [this] {
        operatorEdit_->setText(delegate_.settings().value(kOperatorKey).toString());
        workOrderEdit_->setText(delegate_.settings().value(kWorkOrderKey).toString());
        socketsEdit_->setText(delegate_.settings().value(kSocketsKey).toString());
        metricsEdit_->setText(delegate_.settings().value(kMetricsFileKey).toString());
        launched_ = true;
        showImage();
    });
    showImage();
}

void StationView::showEvent(QShowEvent* event) {
    showImage(); // the file may have been chosen in the other view
    QWidget::showEvent(event);
}

void StationView::showImage() {
    // The delegate has no image before it has launched.
    const FlashJob job = launched_ ? delegate_.fw().job() : FlashJob{};
    image_->setText(job.image ? QStringLiteral("Image: %1, %2 bytes, for the %3")
                                    .arg(qs(printable(job.name)))
                                    .arg(job.image->size())
                                    .arg(job.transmitter ? QStringLiteral("transmitter (TX)")
                                                         : QStringLiteral("receiver (RX)"))
                              : QStringLiteral("No image: choose one in the single-unit view."));
    placeholder_->setText(running() ? QStringLiteral("Plug a unit into a socket to flash it.")
                                    : QStringLiteral("Start the station, then plug a unit into a "
                                                     "socket to flash it."));
    placeholder_->setVisible(tiles_.empty());
}

StationView::~StationView() {
    // A run stuck in its serial line must not keep the window from closing.
    if (!shutDown(kShutDownWait)) {
        std::fprintf(stderr, "zkflash: the station's runs did not stop; exiting.\n");
        std::_Exit(EXIT_FAILURE);
    }
}

bool StationView::shutDown(std::chrono::milliseconds wait) {
    if (!runner_) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    if (runner_->taking()) {
        runner_->stop(); // no new units
    }
    runner_->stop(); // the runs still going are cancelled
    for (;;) {
        runner_->deliver();
        if (runner_->done()) {
            stopIfDone();
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        launcher_->wait(std::chrono::milliseconds(50));
    }
}

void StationView::startOrStop() {
    if (!runner_) {
        // Both might want the same port.
        if (delegate_.workerRunning()) {
            runAlert(window(), QString::fromUtf8(kApplicationName),
                     QStringLiteral("Stop the single-unit run first."));
            return;
        }
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
        QSettings& kept = delegate_.settings();
        if (kept.value(kRequireOperatorKey).toBool() && (who.isEmpty() || order.isEmpty())) {
            runAlert(window(), QString::fromUtf8(kApplicationName),
                     QStringLiteral("Enter the operator and the work order first."));
            return;
        }
        kept.setValue(kOperatorKey, who);
        kept.setValue(kWorkOrderKey, order);
        kept.setValue(kSocketsKey, socketsEdit_->text().trimmed());
        const QString metrics = metricsEdit_->text().trimmed();
        kept.setValue(kMetricsFileKey, metrics);
        if (!metrics.isEmpty()) {
            if (const auto refused = station::metricsFileRefused(metrics.toStdString())) {
                runAlert(window(), QString::fromUtf8(kApplicationName),
                         QStringLiteral("Metrics file %1: %2").arg(metrics, qs(*refused)));
                return;
            }
            settings.metricsFile = metrics.toStdString();
            settings.version = ZK_VERSION;
        }
        for (const QString& entry : socketsEdit_->text().split(QLatin1Char(','))) {
            if (entry.trimmed().isEmpty()) {
                continue;
            }
            std::string error;
            const auto slot = station::parseSlot(entry.trimmed().toStdString(), error);
            if (!slot) {
                // The reason as the command line gives it, named for this field.
                runAlert(window(), QString::fromUtf8(kApplicationName),
                         qs(error).replace(QStringLiteral("--slot "), QStringLiteral("Socket ")));
                return;
            }
            settings.sockets.push_back(*slot);
        }
        if (!who.isEmpty()) {
            settings.job.fields["operator"] = who.toStdString();
        }
        if (!order.isEmpty()) {
            settings.job.fields["work_order"] = order.toStdString();
        }
        settings.attemptsFrom = defaultRecordPath();
        prompts_.clear();
        warning_.clear();
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
        runner_ =
            std::make_unique<station::Runner>(std::move(settings), *watch_, *launcher_, view, now_);
        operatorEdit_->setEnabled(false);
        workOrderEdit_->setEnabled(false);
        socketsEdit_->setEnabled(false);
        metricsEdit_->setEnabled(false);
        startButton_->setText(QString::fromUtf8(kStopStationTitle));
        showImage();
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

void StationView::warning(const std::string& text) {
    warning_ = qs(printable(text));
    refresh();
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
        socketsEdit_->setEnabled(true);
        metricsEdit_->setEnabled(true);
        startButton_->setText(QString::fromUtf8(kStartStationTitle));
        showImage();
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
    tile.advice = new QLabel(tile.frame);
    tile.name->setObjectName(QStringLiteral("tileName"));
    tile.serial->setObjectName(QStringLiteral("tileSerial"));
    tile.state->setObjectName(QStringLiteral("tileState"));
    tile.prompt->setObjectName(QStringLiteral("tilePrompt"));
    tile.advice->setObjectName(QStringLiteral("tileAdvice"));
    QFont font = tile.name->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.5);
    tile.name->setFont(font);
    // Readable from a metre away.
    font.setPointSizeF(font.pointSizeF() * 1.15);
    tile.state->setFont(font);
    tile.state->setWordWrap(true);
    tile.prompt->setWordWrap(true);
    tile.advice->setWordWrap(true);
    // What a device carries is shown, never taken for markup.
    for (QLabel* label : {tile.name, tile.serial, tile.state, tile.prompt, tile.advice}) {
        label->setTextFormat(Qt::PlainText);
    }
    layout->addWidget(tile.name);
    layout->addWidget(tile.serial);
    layout->addWidget(tile.state, 1);
    layout->addWidget(tile.prompt);
    layout->addWidget(tile.advice);
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
        // The advice in smaller type beneath, so that the state stays legible.
        station::SlotRow shown = row;
        shown.advice.clear();
        tile.state->setText(tileStateText(station::stateText(shown)));
        const bool advised = row.state == SlotState::Failed && !row.advice.empty();
        tile.advice->setText(advised ? qs(row.advice) : QString());
        tile.advice->setVisible(advised);
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
    placeholder_->setVisible(tiles_.empty());
    answerButton_->setEnabled(asking);
    footer_->setText(footerText(station::footerLine(runner_->totals())) +
                     (warning_.isEmpty() ? QString() : QLatin1Char('\n') + warning_));
}
