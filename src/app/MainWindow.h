// The main window, built from MainWindow.ui, and its wiring to the delegate.
// Its views are pages of one stack: the single-unit view and the station
// view, switched by a toggle; the window opens in the view it was closed in.
#pragma once

#include <QWidget>

#include <memory>

class QPushButton;
class StationView;
class ZKAppDelegate;
struct RunEnd;
struct RunProgress;

namespace Ui {
class MainWindow;
}

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // Builds the window and connects its controls to the delegate's outlets
    // and actions. The window owns its controls.
    explicit MainWindow(ZKAppDelegate& delegate, QWidget* parent = nullptr);
    ~MainWindow() override;

    StationView& stationView() { return *stationView_; }
    bool stationShown() const;
    void showStation(bool station);

protected:
    // A firmware file dropped on the window is chosen as Browse chooses it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Enter that no control took starts a run; Escape cancels one.
    void keyPressEvent(QKeyEvent* event) override;
    // Closing while the station's units are flashed asks first, then stops
    // the station and cancels them, waiting a bounded time.
    void closeEvent(QCloseEvent* event) override;

private:
    // Start or Cancel of the single-unit view; a start is refused while the
    // station runs, as both may want the same port.
    void startOrCancelSingleUnit();
    // The single-unit view's time line and end state.
    void showRunStarted();
    void showRunProgress(const RunProgress& progress);
    void showRunEnd(const RunEnd& end);
    void setCheckSetupOffered(bool offered);

    ZKAppDelegate& delegate_;
    std::unique_ptr<Ui::MainWindow> ui_;
    StationView* stationView_;
    QPushButton* viewToggle_;
};
