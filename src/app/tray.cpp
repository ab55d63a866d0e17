#include "app/tray.h"

#include "app/icons.h"

namespace tessaryn {

Tray::Tray(Bridge& bridge, std::function<void()> showWindow, std::function<void()> quit,
           QObject* parent)
    : QObject(parent), bridge_(bridge) {
    const QColor ink = menu_.palette().color(QPalette::WindowText);
    lit_ = circleIcon(true, ink);
    unlit_ = circleIcon(false, ink);
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
    connect(quit_, &QAction::triggered, this, [quit] { quit(); });
    icon_.setContextMenu(&menu_);
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [showWindow](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) showWindow();
            });
    observer_ = bridge_.observe([this](BridgeProperty p) {
        if (p == BridgeProperty::status || p == BridgeProperty::running ||
            p == BridgeProperty::activityLit)
            refresh();
    });
    refresh();
}

Tray::~Tray() {
    bridge_.unobserve(observer_);
}

void Tray::refresh() {
    status_->setText(QString::fromStdString(bridge_.status()));
    startStop_->setText(bridge_.running() ? "Stop" : "Start");
    const bool lit = bridge_.activityLit();
    icon_.setIcon(lit ? lit_ : unlit_);
    icon_.setToolTip(lit ? "MIDI is moving" : "Tessaryn");
}

}  // namespace tessaryn
