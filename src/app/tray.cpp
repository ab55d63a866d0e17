#include "app/tray.h"

#include <xcb/xcb.h>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMessageBox>
#include <cstdlib>
#include <string>

#include "app/icons.h"
#include "app/widgets.h"

namespace tessaryn {

namespace {

// Set once the program has said where it goes when its window closes: it says so only once ever.
constexpr std::string_view kToldKey = "toldAboutTray";

// The StatusNotifier host registered with the session bus's watcher, as Qt asks it.
bool statusNotifierHost() {
    const QString watcher = "org.kde.StatusNotifierWatcher";
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcher)) return false;
    QDBusMessage get = QDBusMessage::createMethodCall(watcher, "/StatusNotifierWatcher",
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << watcher << QString("IsStatusNotifierHostRegistered");
    // A watcher that does not answer is no tray; the main thread waits a second at most.
    const QDBusMessage reply = bus.call(get, QDBus::Block, 1000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().front().value<QDBusVariant>().variant().toBool();
}

// An X tray owns the selection _NET_SYSTEM_TRAY_S<screen>.
bool xTray() {
    // The offscreen platform answers as X11 with no connection.
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c) return false;
    char* host = nullptr;
    int display = 0;
    int screen = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen)) std::free(host);
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, name.size(), name.data()), nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE) return false;  // no tray ever named it
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr),
        &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

}  // namespace

bool trayAvailable() {
    return statusNotifierHost() || xTray();
}

Tray::Tray(Bridge& bridge, const std::string& instanceName, std::function<void()> showWindow,
           std::function<void()> quit, QObject* parent)
    : QObject(parent), bridge_(bridge), title_(programTitle(instanceName)) {
    for (auto look : {TrayLook::stopped, TrayLook::bridging, TrayLook::lit, TrayLook::trouble})
        icons_[static_cast<std::size_t>(look)] = trayIcon(look);
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
    QAction* about = menu_.addAction("About Tessaryn");
    connect(about, &QAction::triggered, this,
            [] { QMessageBox::about(nullptr, "About Tessaryn", aboutText()); });
    menu_.addSeparator();
    quit_ = menu_.addAction("Quit");
    // Held notes are released before the program goes.
    connect(quit_, &QAction::triggered, this, [this, quit] {
        bridge_.stop();
        quit();
    });
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, [this] {
        wait_ *= 2;
        checkAgain();
    });
    observer_ = bridge_.observe([this](BridgeProperty p) {
        if (p == BridgeProperty::status || p == BridgeProperty::running) showState();
        if (p == BridgeProperty::activityLit || p == BridgeProperty::status ||
            p == BridgeProperty::state)
            showLook();
    });
    showState();
    showLook();
}

Tray::~Tray() {
    bridge_.unobserve(observer_);
}

QString Tray::aboutText() {
    return QString(
               "<p><b>Tessaryn %1</b></p>"
               "<p>Joins a serial MIDI board to the computer's MIDI system.</p>"
               "<p>MIT licence (Expat). "
               "<a href=\"https://%2/tessaryn/\">Help and news</a></p>")
        .arg(TESSARYN_VERSION, TESSARYN_FORM_HOST);
}

void Tray::tellOnce() {
    if (!shown() || bridge_.preferences().boolean(kToldKey).value_or(false)) return;
    bridge_.preferences().setBoolean(kToldKey, true);
    icon_->showMessage(title_,
                       "Tessaryn keeps running here, and the bridge with it. Quit is in this "
                       "icon's menu.",
                       QSystemTrayIcon::Information, 8000);
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
        if (!icon_) {
            icon_ = std::make_unique<QSystemTrayIcon>(icons_[static_cast<std::size_t>(shownLook_)]);
            icon_->setToolTip(tip_);
            icon_->setContextMenu(&menu_);
            connect(icon_.get(), &QSystemTrayIcon::activated, this, &Tray::activated);
        }
        icon_->show();
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

TrayLook lookOf(BridgeState state, bool lit) {
    switch (state) {
        case BridgeState::stopped:
            return TrayLook::stopped;
        case BridgeState::bridging:
            return lit ? TrayLook::lit : TrayLook::bridging;
        case BridgeState::notReading:
        case BridgeState::waiting:
        case BridgeState::failed:
            break;
    }
    return TrayLook::trouble;
}

void Tray::showLook() {
    const TrayLook look = lookOf(bridge_.state(), bridge_.activityLit());
    const QString tip = (look == TrayLook::lit ? QString("MIDI is moving") : title_) + '\n' +
                        QString::fromStdString(bridge_.status());
    if (look == shownLook_ && tip == tip_) return;
    if (icon_ && look != shownLook_) icon_->setIcon(icons_[static_cast<std::size_t>(look)]);
    if (icon_ && tip != tip_) icon_->setToolTip(tip);
    shownLook_ = look;
    tip_ = tip;
    ++looksShown_;
}

}  // namespace tessaryn
