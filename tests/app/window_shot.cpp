// Saves a picture of the window for people to look at: groups expanded, some traffic shown.
// Runs on the loopback MIDI service, so it needs no sound hardware (scripts/screenshot.sh).
#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <filesystem>

#include "app/main_window.h"
#include "app/qt_main_queue.h"
#include "midi/loopback/loopback_midi.h"
#include "serial/pty.h"

using namespace tessaryn;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? argv[1] : "tessaryn-window.png";
    const auto dir =
        std::filesystem::temp_directory_path() / ("tessaryn-shot-" + std::to_string(::getpid()));
    QtMainQueue main;
    auto hub = std::make_shared<LoopbackHub>();
    hub->addDestination("USB MIDI Interface MIDI 1");
    hub->addSource("Keystation 49 MIDI 1");
    tessaryn::testing::Pty pty;
    auto bridge = Bridge::create(main, std::make_shared<Preferences>(dir), hub->factory());
    bridge->setRoutes({{Uuid::random(), true, 7, 20}, {Uuid::random(), false, 60, 36}});
    MainWindow window(
        *bridge, Autostart(dir / "xdg", "tessaryn"),
        [&] { return std::vector<std::string>{pty.path}; }, "tessaryn.org");
    window.routingGroup()->setExpanded(true);
    window.learnedGroup()->setExpanded(true);
    window.show();
    bridge->start(pty.path, 31250, 8, Parity::none, false, false);
    pty.send(
        {0x99, 0x3C, 0x64, 0x89, 0x3C, 0x00, 0xB0, 0x07, 0x40, 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    hub->sendToVirtualIn({0x90, 0x3C, 0x64});
    QTimer::singleShot(400, [&] {
        window.grab().save(out);
        std::printf("saved %s\n", qPrintable(out));
        bridge->stop();
        QApplication::quit();
    });
    const int code = QApplication::exec();
    std::filesystem::remove_all(dir);
    return code;
}
