#include "app/tray.h"

#include "app/icons.h"

namespace tessaryn {

Tray::Tray(Bridge& bridge, std::function<void()> showWindow, std::function<void()> quit,
           QObject* parent)
    : QObject(parent), bridge_(bridge) {
    lit_ = trayIcon(true);
    unlit_ = trayIcon(false);
    status_ = menu_.addAction(QString());
    status_->setEnabled(false);
    startStop_ = menu_.addAction(QString());
    // Read the state when chosen, not when the menu was drawn.
    connect(startStop_, &QAction::triggered, this, [this] {
        if (bridge_.running()) {
            bridge_.stop();
        } else {
            bridge_.startFromSaved();
        }
    });
    show_ = menu_.addAction("Show Tessaryn");
    connect(show_, &QAction::triggered, this, [showWindow] { showWindow(); });
    menu_.addSeparator();
    quit_ = menu_.addAction("Quit");
    // Held notes are released before the program goes.
    connect(quit_, &QAction::triggered, this, [this, quit] {
        bridge_.stop();
        quit();
    });
    icon_.setContextMenu(&menu_);
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [showWindow](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) showWindow();
            });
    observer_ = bridge_.observe([this](BridgeProperty p) {
        if (p == BridgeProperty::status || p == BridgeProperty::running) showState();
        if (p == BridgeProperty::activityLit) showActivity();
    });
    showState();
    showActivity();
}

Tray::~Tray() {
    bridge_.unobserve(observer_);
}

void Tray::showState() {
    status_->setText(QString::fromStdString(bridge_.status()));
    startStop_->setText(bridge_.running() ? "Stop" : "Start");
}

void Tray::showActivity() {
    const bool lit = bridge_.activityLit();
    icon_.setIcon(lit ? lit_ : unlit_);
    icon_.setToolTip(lit ? "MIDI is moving" : "Tessaryn");
}

}  // namespace tessaryn
