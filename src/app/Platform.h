// What the window needs of its toolkit, in one place:
//
//   main thread test        isMainThread(): the calling thread is the application's
//   main-queue hand-off     HandOffQueue: a std::mutex-guarded FIFO drained on the main
//                           thread; a queued call only wakes the main thread up
//   modal alert             runAlert(): a message box, heading = title, literal text,
//                           one "OK" button, the window's palette, as wide as its text
//   modal question          runQuestion(): the same with "Yes" and "No", "No" the default
//   findings window         SetupDialog: the setup check's text, monospaced, non-modal
//   open-file panel         chooseFirmwareFile(): one existing *.bin/*.bintx/*.binrx file
//   port list entries       PortItemDelegate: the path with its description beside it
//   background thread       a std::thread per run, owned and joined by the delegate;
//                           firmware files are read on a detached std::thread
//   delayed message         a single-shot QTimer re-armed by the port list refresh
//   application name        kApplicationName (StatusSink.h), also set on QApplication
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <QStyledItemDelegate>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

class QPlainTextEdit;
class QWidget;

// True on the process's main thread, where the application runs. Asked by
// the id of the calling thread, so that a worker asking never gets Qt thread
// data of its own.
bool isMainThread();

// Work handed to the main thread from any thread. Tasks run on the main thread
// one at a time, each to its end, in the order they were posted. Posting never
// waits for the main thread. The tasks and what they carry cross threads under
// the queue's own mutex; the queued call is only a wake-up.
//
// While a task (or a modal alert) holds the main thread in a nested event loop,
// the queue is not drained re-entrantly: later tasks wait until it returns.
class HandOffQueue : public QObject {
    Q_OBJECT
public:
    using Task = std::function<void()>;

    explicit HandOffQueue(QObject* parent = nullptr);
    ~HandOffQueue() override;

    void post(Task task);

    // Keeps the queue from being drained while it lives (main thread only).
    class Hold {
    public:
        explicit Hold(HandOffQueue& queue);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        HandOffQueue& queue_;
    };

private:
    void wake();
    // Runs the tasks posted so far, unless held (main thread only).
    void drain();

    std::mutex mutex_; // guards tasks_
    std::deque<Task> tasks_;
    int holds_ = 0; // main thread only
};

// Shows a modal alert and returns when the operator has pressed "OK".
void runAlert(QWidget* parent, const QString& title, const QString& message);

// Asks a yes-or-no question: `question` as the heading, `detail` beneath it.
// True when the operator answered "Yes"; Escape answers "No".
bool runQuestion(QWidget* parent, const QString& title, const QString& question,
                 const QString& detail);

// The setup check's findings in a window of their own beside the main one.
class SetupDialog : public QDialog {
public:
    explicit SetupDialog(QWidget* parent);
    void setFindings(const QString& text);
    QString findings() const;

private:
    QPlainTextEdit* text_;
};

// Asks the operator for one existing firmware file, starting in `folder`;
// empty when cancelled.
QString chooseFirmwareFile(QWidget* parent, const QString& folder);

// Draws a port list entry as its path followed by its description (the
// entry's tool tip); the entry's text, the path, is what a run uses.
class PortItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};
