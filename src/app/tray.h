#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <array>
#include <chrono>
#include <functional>
#include <memory>

#include "app/icons.h"
#include "bridge/bridge.h"

namespace tessaryn {

// Whether a panel would take our icon now: a StatusNotifier host on the session bus, or an X
// tray. Asked without Qt's own check, which settles for the whole run whether the StatusNotifier
// protocol is used: a panel that offers only that and comes later would never get our icon.
bool trayAvailable();

// How the state looks: failed, waiting for the device and not reading all need the user.
TrayLook lookOf(BridgeState state, bool lit);

// The tray item: a drum head that shows stopped, bridging (lit while MIDI moves) or trouble, a
// hover text with the status, and the menu status · Start/Stop · Show Tessaryn · About · — ·
// Quit. Quit stops the bridge before it quits.
class Tray : public QObject {
    Q_OBJECT
  public:
    using TrayCheck = std::function<bool()>;
    // The hover text names the instance, unless it is the default one.
    Tray(Bridge& bridge, const std::string& instanceName, std::function<void()> showWindow,
         std::function<void()> quit, QObject* parent = nullptr);
    ~Tray() override;

    // Shows the icon once `available` says a tray exists: now, or when a panel comes up later
    // (autostart can run first). It asks again after `firstWait`, twice as long each time, for
    // `tries` times, and again whenever checkAgain() is called. Closing the last window quits
    // only when no icon is shown, none may still come and the program was not `minimized`.
    void showWhenAvailable(TrayCheck available, bool minimized,
                           std::chrono::milliseconds firstWait = std::chrono::milliseconds(500),
                           int tries = 10);
    void checkAgain();
    // The first time the window closes to the tray, says where the program went; once ever.
    void tellOnce();
    bool shown() const { return icon_ && icon_->isVisible(); }
    bool waiting() const { return retry_.isActive(); }

    QMenu* menu() { return &menu_; }
    // Made when a tray first appears (until then null): Qt chooses how to speak to the tray then.
    QSystemTrayIcon* icon() { return icon_.get(); }
    QAction* statusAction() const { return status_; }
    QAction* startStopAction() const { return startStop_; }
    QAction* showAction() const { return show_; }
    QAction* quitAction() const { return quit_; }
    // The hover text the icon has now.
    QString hoverText() const { return tip_; }
    TrayLook shownLook() const { return shownLook_; }
    // How often the icon or its hover text was handed to the tray: every change costs the panel
    // a fetch of all sizes, so only a change of look may count.
    int looksShown() const { return looksShown_; }

  signals:
    void appeared();
    void activated(QSystemTrayIcon::ActivationReason reason);

  private:
    // Version, licence and where to find help.
    static QString aboutText();
    void showState();
    void showLook();
    void applyQuitRule();

    Bridge& bridge_;
    QString title_;
    QMenu menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QAction* status_;
    QAction* startStop_;
    QAction* show_;
    QAction* quit_;
    std::array<QIcon, 4> icons_;  // by TrayLook, drawn once
    int observer_ = 0;
    TrayLook shownLook_ = TrayLook::stopped;
    QString tip_;
    int looksShown_ = 0;
    TrayCheck available_;
    bool minimized_ = false;
    QTimer retry_;
    std::chrono::milliseconds wait_{0};
    int triesLeft_ = 0;
};

}  // namespace tessaryn
