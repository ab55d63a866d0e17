// CPU of the desktop program under steady drum traffic: the real window and tray item (offscreen)
// over a bridge on the loopback MIDI service, a pseudo-terminal board sending 200 messages/s.
// Prints the process's CPU seconds per 10 s with the window shown and hidden; the board thread's
// own time is left out.
#include <sys/resource.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <thread>

#include "app/main_window.h"
#include "app/qt_main_queue.h"
#include "app/tray.h"
#include "midi/loopback/loopback_midi.h"
#include "serial/pty.h"

using namespace tessaryn;

namespace {

double cpuSeconds(int who) {
    rusage r{};
    getrusage(who, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for `seconds` while a board thread plays `rate` messages/s; returns the
// program's CPU seconds in that time.
double measure(tessaryn::testing::Pty& pty, int rate, int seconds) {
    std::atomic<bool> done{false};
    double boardCpu = 0;
    const double before = cpuSeconds(RUSAGE_SELF);
    std::thread board([&] {
        const auto period = std::chrono::microseconds(1000000 / rate);
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; !done; ++i) {
            const std::uint8_t note = 36 + static_cast<std::uint8_t>((i / 2) % 12);
            if (i % 2 == 0)
                pty.send({0x99, note, 100});
            else
                pty.send({0x89, note, 0});
            next += period;
            std::this_thread::sleep_until(next);
        }
        boardCpu = cpuSeconds(RUSAGE_THREAD);
    });
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    done = true;
    board.join();
    return cpuSeconds(RUSAGE_SELF) - before - boardCpu;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const auto dir =
        std::filesystem::temp_directory_path() / ("tessaryn-wbench-" + std::to_string(::getpid()));
    QtMainQueue main;
    auto hub = std::make_shared<LoopbackHub>();
    tessaryn::testing::Pty pty;
    auto bridge = Bridge::create(main, std::make_shared<Preferences>(dir), hub->factory());
    bridge->setRoutes({{Uuid::random(), true, 7, 20}});
    // The floor: the engine and the event loop alone, as before a window exists.
    bridge->start(pty.path, {31250});
    std::printf("200 messages/s for %d s, no window: %.3f CPU s\n", seconds,
                measure(pty, 200, seconds));
    bridge->stop();
    {
        MainWindow window(
            *bridge, Autostart(dir / "xdg", "tessaryn"),
            [&] { return std::vector<std::string>{pty.path}; }, "tessaryn.org", "Halvenor");
        Tray tray(
            *bridge, "Halvenor", [] {}, [] {});
        window.routingGroup()->setExpanded(true);
        window.learnedGroup()->setExpanded(true);
        window.show();
        bridge->start(pty.path, {31250});
        for (int rate : {200, 1}) {
            window.show();
            const double shown = measure(pty, rate, seconds);
            window.hide();
            const double hidden = measure(pty, rate, seconds);
            std::printf("%d messages/s for %d s: window shown %.3f CPU s, hidden %.3f CPU s\n",
                        rate, seconds, shown, hidden);
        }
        bridge->stop();
    }
    bridge.reset();
    std::filesystem::remove_all(dir);
}
