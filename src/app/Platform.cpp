#include "Platform.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <thread>

namespace {

// Qt's GUI runs on the process's first thread, the one that initialises the
// program's statics before main().
const std::thread::id firstThread = std::this_thread::get_id();

} // namespace

bool isMainThread() {
    return QCoreApplication::instance() != nullptr && std::this_thread::get_id() == firstThread;
}

HandOffQueue::HandOffQueue(QObject* parent) : QObject(parent) {}

HandOffQueue::~HandOffQueue() = default;

void HandOffQueue::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake();
}

void HandOffQueue::wake() {
    // A queued call: Qt posts it to the main thread's event queue, from any
    // thread, and drops it if the queue is gone first.
    QMetaObject::invokeMethod(this, &HandOffQueue::drain, Qt::QueuedConnection);
}

void HandOffQueue::drain() {
    if (holds_ > 0) {
        return; // the Hold's end wakes the queue again
    }
    Hold hold(*this);
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) {
                break;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

HandOffQueue::Hold::Hold(HandOffQueue& queue) : queue_(queue) {
    ++queue_.holds_;
}

HandOffQueue::Hold::~Hold() {
    // Tasks posted meanwhile found the queue held; drain them now. A wake-up
    // with nothing pending only drains an empty queue.
    if (--queue_.holds_ == 0) {
        queue_.wake();
    }
}

namespace {

// Part of the window: its dark background and light text.
void takeWindowColours(QWidget& widget, const QWidget* parent) {
    if (parent != nullptr) {
        widget.setPalette(parent->palette());
        widget.setAutoFillBackground(true);
    }
}

} // namespace

bool runQuestion(QWidget* parent, const QString& title, const QString& question,
                 const QString& detail) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
    box.setText(question);
    box.setInformativeText(detail);
    takeWindowColours(box, parent);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

SetupDialog::SetupDialog(QWidget* parent) : QDialog(parent), text_(new QPlainTextEdit(this)) {
    setWindowTitle(QStringLiteral("Check setup"));
    takeWindowColours(*this, parent);
    text_->setObjectName(QStringLiteral("findings"));
    text_->setAccessibleName(QStringLiteral("Setup findings"));
    text_->setReadOnly(true);
    // A fix is read whole: long lines wrap rather than scroll.
    text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text_->setTabChangesFocus(true);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setStyleSheet(QStringLiteral(
        "QPlainTextEdit { background-color: rgb(24, 24, 24); color: rgb(220, 220, 220); }"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(buttons);
    resize(860, 440);
}

void SetupDialog::setFindings(const QString& text) {
    text_->setPlainText(text);
}

QString SetupDialog::findings() const {
    return text_->toPlainText();
}

void runAlert(QWidget* parent, const QString& title, const QString& message) {
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);
    box.setText(title);
    box.setInformativeText(message);
    takeWindowColours(box, parent);
    // Shown as it is: a serial error text may hold characters that look like markup.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        label->setTextFormat(Qt::PlainText);
        // The box sizes itself to its heading and wraps the message into that
        // width; let it be as wide as the message's longest line instead, up
        // to half the screen.
        int width = 0;
        for (const QString& line : message.split(QLatin1Char('\n'))) {
            width = std::max(width, label->fontMetrics().horizontalAdvance(line) + 1);
        }
        const QScreen* screen = parent != nullptr ? parent->screen() : box.screen();
        const int limit = screen != nullptr ? screen->availableGeometry().width() / 2 : 600;
        label->setMinimumWidth(std::min(width, limit));
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

QString chooseFirmwareFile(QWidget* parent, const QString& folder) {
    QFileDialog dialog(parent);
    // The window's light-on-dark palette would put light labels on the
    // dialog's light panes.
    dialog.setPalette(QApplication::palette());
    if (!folder.isEmpty()) {
        dialog.setDirectory(folder);
    }
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("Firmware images (*.bin *.bintx *.binrx)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().first();
}

void PortItemDelegate::initStyleOption(QStyleOptionViewItem* option,
                                       const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    const QString description = index.data(Qt::ToolTipRole).toString();
    if (!description.isEmpty()) {
        option->text += QStringLiteral("    ") + description;
    }
}
