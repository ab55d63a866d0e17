#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

#include "bridge/bridge.h"

namespace tessaryn {

// The tray item: an empty or filled circle as MIDI moves, and the menu
// status · Start/Stop · Show Tessaryn · — · Quit. Quit stops the bridge before it quits.
class Tray : public QObject {
    Q_OBJECT
  public:
    Tray(Bridge& bridge, std::function<void()> showWindow, std::function<void()> quit,
         QObject* parent = nullptr);
    ~Tray() override;

    QMenu* menu() { return &menu_; }
    QSystemTrayIcon* icon() { return &icon_; }
    QAction* statusAction() const { return status_; }
    QAction* startStopAction() const { return startStop_; }
    QAction* showAction() const { return show_; }
    QAction* quitAction() const { return quit_; }
    // The hover text the icon has now.
    QString hoverText() const { return icon_.toolTip(); }

  private:
    void showState();
    void showActivity();

    Bridge& bridge_;
    QMenu menu_;
    QSystemTrayIcon icon_;
    QAction* status_;
    QAction* startStop_;
    QAction* show_;
    QAction* quit_;
    QIcon lit_, unlit_;
    int observer_ = 0;
};

}  // namespace tessaryn
