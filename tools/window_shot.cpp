// Saves the README's pictures of the window, the tray icon and its menu: window_shot DIR; with
// --scaled only the running window (run at 150 % by scripts/screenshot.sh); with --icons the
// launcher's PNG sizes into DIR/SIZE/tessaryn.png. Runs on the loopback MIDI service and a
// pseudo-terminal board, so it needs no sound hardware.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QPainter>
#include <QScrollArea>
#include <QTest>
#include <filesystem>

#include "app/icons.h"
#include "app/main_window.h"
#include "app/qt_main_queue.h"
#include "app/tray.h"
#include "midi/loopback/loopback_midi.h"
#include "serial/pty.h"

using namespace tessaryn;

namespace {

// The whole window, however small the virtual screen is.
void save(QWidget& w, const QString& file) {
    QTest::qWait(100);  // a few redraws
    w.resize(980, w.findChild<QScrollArea*>()->widget()->sizeHint().height());
    QTest::qWait(100);
    w.grab().save(file);
    std::printf("saved %s\n", qPrintable(file));
}

// The tray icon stopped, bridging, lit and in trouble, on a light and on a dark panel.
void saveTrayIcons(const QString& file) {
    QPixmap pm(8 * 40, 40);
    QPainter p(&pm);
    p.fillRect(0, 0, 160, 40, QColor(0xF0, 0xF0, 0xF0));
    p.fillRect(160, 0, 160, 40, QColor(0x20, 0x20, 0x22));
    for (int i = 0; i < 8; ++i)
        p.drawPixmap(i * 40 + 4, 4, trayIcon(static_cast<TrayLook>(i % 4)).pixmap(32, 32));
    p.end();
    pm.save(file);
    std::printf("saved %s\n", qPrintable(file));
}

// The launcher's icon in the sizes of the hicolor theme, for desktops that do not draw SVG.
void saveIcons(const QString& dir) {
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString file = QString("%1/%2/tessaryn.png").arg(dir).arg(size);
        QDir().mkpath(QFileInfo(file).path());
        applicationIcon().pixmap(size, size).save(file);
        std::printf("saved %s\n", qPrintable(file));
    }
}

QPalette darkPalette() {
    QPalette p;
    const QColor text(0xE8, 0xE8, 0xEA), dim(0x8E, 0x8E, 0x93);
    for (auto [role, colour] : {std::pair{QPalette::Window, QColor(0x2B, 0x2B, 0x2E)},
                                {QPalette::Base, QColor(0x1E, 0x1E, 0x20)},
                                {QPalette::AlternateBase, QColor(0x2B, 0x2B, 0x2E)},
                                {QPalette::Button, QColor(0x3A, 0x3A, 0x3D)},
                                {QPalette::Highlight, QColor(0xF2, 0x8C, 0x28)},
                                {QPalette::HighlightedText, QColor(Qt::black)},
                                {QPalette::WindowText, text},
                                {QPalette::Text, text},
                                {QPalette::ButtonText, text},
                                {QPalette::PlaceholderText, dim}})
        p.setColor(role, colour);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0x6E, 0x6E, 0x73));
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? argv[1] : ".";
    const QString mode = argc > 2 ? argv[2] : "";
    QDir().mkpath(out);
    if (mode == "--icons") {
        saveIcons(out);
        return 0;
    }
    QApplication::setStyle("fusion");
    const auto dir =
        std::filesystem::temp_directory_path() / ("tessaryn-shot-" + std::to_string(::getpid()));
    QtMainQueue main;
    auto hub = std::make_shared<LoopbackHub>();
    hub->addDestination("USB MIDI Interface MIDI 1");
    hub->addSource("Keystation 49 MIDI 1");
    tessaryn::testing::Pty pty;
    auto prefs = std::make_shared<Preferences>(dir);
    auto bridge = Bridge::create(main, prefs, hub->factory());
    bridge->setRoutes({{Uuid::random(), true, 7, 20}, {Uuid::random(), false, 60, 36}});
    const std::string unplugged =
        "/dev/serial/by-id/usb-Maker_Drum_Pad_Controller_0043_95736323632351F0E1C1-if00";
    prefs->setText("port", unplugged);
    {
        MainWindow window(
            *bridge, Autostart(dir / "xdg", "tessaryn"),
            [&] {
                return std::vector<std::string>{pty.path, unplugged};
            },
            "tessaryn.org", kDefaultInstanceName);
        window.show();

        // 1. Stopped: the saved board is not plugged in.
        window.routingGroup()->setExpanded(true);
        window.startButton()->click();
        if (mode.isEmpty()) save(window, out + "/window-stopped.png");

        // 2. Running, with traffic in the monitor and a lit pad.
        window.routingGroup()->setExpanded(false);
        prefs->setText("port", pty.path);
        prefs->setInteger("baud", 31250);
        window.hide();
        window.show();  // shows the saved settings again
        window.startButton()->click();
        for (std::uint8_t note : {36, 38, 42, 38, 46, 49}) pty.send({0x99, note, 0x64});
        pty.send({0x89, 0x26, 0x00, 0xB0, 0x07, 0x40, 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
        hub->sendToVirtualIn({0x90, 0x3C, 0x64});
        if (mode == "--scaled") {
            save(window, out + "/window-running-150.png");
        } else {
            save(window, out + "/window-running.png");
            // 3. The same under a dark palette.
            QApplication::setPalette(darkPalette());
            save(window, out + "/window-running-dark.png");
            QApplication::setPalette(QApplication::style()->standardPalette());

            // 4. Learned controls: a captured control waiting to be saved, two saved mappings.
            window.learnedGroup()->setExpanded(true);
            bridge->setPendingLearn(PendingLearn{true, 74});
            bridge->setLearnDestination(21);
            save(window, out + "/window-learned.png");

            // 5. The tray's menu while bridging.
            Tray tray(
                *bridge, kDefaultInstanceName, [] {}, [] {});
            tray.menu()->popup(QPoint(0, 0));
            QTest::qWait(100);
            tray.menu()->grab().save(out + "/tray-menu.png");
            std::printf("saved %s\n", qPrintable(out + "/tray-menu.png"));
            saveTrayIcons(out + "/tray-icons.png");
        }
        bridge->stop();
    }
    bridge.reset();
    std::filesystem::remove_all(dir);
    return 0;
}
