#include "app/tray.h"

#include <QGuiApplication>

#include "app/icons.h"
#include "app/widgets.h"

namespace tessaryn {

Tray::Tray(Bridge& bridge, const std::string& instanceName, std::function<void()> showWindow,
           std::function<void()> quit, QObject* parent)
    : QObject(parent), bridge_(bridge), title_(programTitle(instanceName)) {
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
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, [this] {
        wait_ *= 2;
        checkAgain();
    });
    observer_ = bridge_.observe([this](BridgeProperty p) {
        if (p == BridgeProperty::status || p == BridgeProperty::running) showState();
        if (p == BridgeProperty::activityLit || p == BridgeProperty::status) showLook();
    });
    showState();
    icon_.setIcon(unlit_);
    showLook();
}

Tray::~Tray() {
    bridge_.unobserve(observer_);
}

void Tray::showWhenAvailable(TrayCheck available, bool minimized,
                             std::chrono::milliseconds firstWait, int tries) {
    available_ = std::move(available);
    minimized_ = minimized;
    wait_ = firstWait;
    triesLeft_ = tries;
    checkAgain();
}

void Tray::checkAgain() {
    if (!available_ || shown()) return;
    if (available_()) {
        retry_.stop();
        icon_.show();
        emit appeared();
    } else if (triesLeft_ > 0 && !retry_.isActive()) {
        --triesLeft_;
        retry_.start(wait_);
    }
    applyQuitRule();
}

void Tray::applyQuitRule() {
    QGuiApplication::setQuitOnLastWindowClosed(!minimized_ && !shown() && !retry_.isActive());
}

void Tray::showState() {
    status_->setText(QString::fromStdString(bridge_.status()));
    startStop_->setText(bridge_.running() ? "Stop" : "Start");
}

void Tray::showLook() {
    const bool lit = bridge_.activityLit();
    const QString tip = (lit ? QString("MIDI is moving") : title_) + '\n' +
                        QString::fromStdString(bridge_.status());
    if (lit == shownLit_ && tip == icon_.toolTip()) return;
    if (lit != shownLit_) icon_.setIcon(lit ? lit_ : unlit_);
    if (tip != icon_.toolTip()) icon_.setToolTip(tip);
    shownLit_ = lit;
    ++looksShown_;
}

}  // namespace tessaryn
