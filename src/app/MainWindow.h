// The main window, built from MainWindow.ui, and its wiring to the delegate.
#pragma once

#include <QWidget>

#include <memory>

class ZKAppDelegate;

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

protected:
    // A firmware file dropped on the window is chosen as Browse chooses it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    ZKAppDelegate& delegate_;
    std::unique_ptr<Ui::MainWindow> ui_;
};
