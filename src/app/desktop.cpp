#include "app/desktop.h"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "app/icons.h"
#include "app/main_window.h"
#include "app/qt_main_queue.h"
#include "app/tray.h"
#include "bridge/instance.h"
#include "midi/alsa/alsa_midi.h"
#include "midi/jack/jack_loader.h"
#include "serial/serial_discovery.h"

#ifndef TESSARYN_FORM_HOST
#define TESSARYN_FORM_HOST "tessaryn.org"
#endif

namespace tessaryn {

namespace {

constexpr char kShow[] = "show\n";

// Asks the running program to show its window. It may still be starting (it takes the lock
// before it listens), so the socket gets two seconds to appear.
bool askToShow(const QString& socket) {
    QLocalSocket s;
    for (int i = 0; i < 20; ++i) {
        s.connectToServer(socket);
        if (s.waitForConnected(100)) {
            s.write(kShow);
            s.waitForBytesWritten(1000);
            s.disconnectFromServer();
            return true;
        }
        QThread::msleep(100);
    }
    return false;
}

// Logout and `kill` send SIGTERM, Ctrl+C in a terminal SIGINT: both quit through the event loop,
// so that aboutToQuit stops the bridge and releases held notes. The handler only writes a byte
// to a pipe whose read end wakes the loop. (A signalfd would need the signals blocked, and
// programs started from the window, a browser for the forms, would inherit that.)
class QuitOnSignals {
  public:
    QuitOnSignals() {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) return;
        writeEnd().store(fds_[1]);
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
            char drained[16];
            while (::read(fds_[0], drained, sizeof drained) > 0) {
            }
            QCoreApplication::exit(0);
        });
        struct sigaction action {};
        action.sa_handler = &onSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (const int signal : {SIGTERM, SIGINT}) ::sigaction(signal, &action, nullptr);
    }
    ~QuitOnSignals() {
        for (const int signal : {SIGTERM, SIGINT}) std::signal(signal, SIG_DFL);
        writeEnd().store(-1);
        notifier_.reset();
        for (const int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    QuitOnSignals(const QuitOnSignals&) = delete;
    QuitOnSignals& operator=(const QuitOnSignals&) = delete;

  private:
    // A handler reaches nothing but what is static: the one write end, while this object lives.
    static std::atomic<int>& writeEnd() {
        static std::atomic<int> fd{-1};
        return fd;
    }
    static void onSignal(int) {
        const int saved = errno;
        if (const int fd = writeEnd().load(); fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, "q", 1);
        }
        errno = saved;
    }
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

// Said on the terminal too: started from a menu, only the box shows; from a shell or a unit's
// log, the line stays.
int refuse(const std::string& problem) {
    std::fprintf(stderr, "tessaryn: %s\n", problem.c_str());
    QMessageBox::critical(nullptr, "Tessaryn", QString::fromStdString(problem));
    return 1;
}

// Shows the window whenever a later launch asks; anything else on the socket is ignored.
void answerLaunches(QLocalServer& server, const std::function<void()>& showWindow) {
    QObject::connect(&server, &QLocalServer::newConnection, &server, [&server, showWindow] {
        while (QLocalSocket* s = server.nextPendingConnection()) {
            QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(s, &QLocalSocket::readyRead, s, [s, showWindow] {
                if (s->read(sizeof kShow) == kShow) showWindow();
                s->disconnectFromServer();
            });
        }
    });
}

}  // namespace

int runDesktop(int argc, char** argv, const DesktopOptions& options) {
    // Our options are parsed already. Qt would take some of them as its own (--name becomes the
    // X11 window class, and the desktop no longer matches the window to tessaryn.desktop), so it
    // sees the program name only.
    int qtArgc = std::min(argc, 1);
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName("Tessaryn");
    QApplication::setDesktopFileName("tessaryn");
    QApplication::setWindowIcon(applicationIcon());
    installAccessibility();

    // One program per name, desktop or headless: a second desktop launch brings the first one's
    // window forward; a headless one with the name has its ports, so this one stops.
    const InstanceLock lock(options.instanceName, InstanceLock::Kind::desktop);
    const QString socket = QString::fromStdString(lock.socketFile().string());
    if (!lock.held()) {
        if (lock.holder() == InstanceLock::Kind::desktop && options.minimized) return 0;
        if (lock.holder() == InstanceLock::Kind::desktop && askToShow(socket)) return 0;
        return refuse(lock.problem());
    }

    MIDIService::Factory midi = alsaMIDIFactory();
    if (options.midi == "jack") {
        auto jack = loadJackMIDI(
            [](const std::string& text) { std::fprintf(stderr, "tessaryn: %s\n", text.c_str()); });
        if (auto* problem = std::get_if<std::string>(&jack)) return refuse(*problem);
        midi = std::get<MIDIService::Factory>(std::move(jack));
    }
    QtMainQueue main;
    std::shared_ptr<Bridge> bridge;
    try {
        bridge = Bridge::create(main, std::make_shared<Preferences>(options.configDir), midi, {},
                                options.instanceName);
    } catch (const MIDIServiceError& e) {
        return refuse(e.what());
    }

    int code = 0;
    {
        MainWindow window(
            *bridge, Autostart(Autostart::defaultConfigHome(), options.launchName),
            [] { return linuxPorts("/dev", "/sys"); }, TESSARYN_FORM_HOST, options.instanceName);
        auto showWindow = [&window] { window.bringForward(); };
        Tray tray(*bridge, options.instanceName, showWindow, [] { QApplication::quit(); });
        pairWithTray(window, tray);
        // However the run ends (Quit, the last window closed, the session ending), held notes
        // are released first.
        QObject::connect(&app, &QCoreApplication::aboutToQuit, [&bridge] { bridge->stop(); });
        const QuitOnSignals quitOnSignals;

        QLocalServer server;
        server.setSocketOptions(QLocalServer::UserAccessOption);
        QLocalServer::removeServer(socket);  // left by a run that crashed; the lock is ours
        if (server.listen(socket))
            answerLaunches(server, showWindow);
        else  // a later launch will say that this one runs, but cannot show its window
            std::fprintf(stderr, "tessaryn: Cannot listen on %s: %s\n", qPrintable(socket),
                         qPrintable(server.errorString()));

        // The tray keeps the program reachable: closing the window leaves the bridge running.
        // Without one (a bare X server, GNOME without the AppIndicator extension) the window is
        // the program, and closing it quits, unless a tray may still come.
        tray.showWhenAvailable(&trayAvailable, options.minimized);
        if (!options.minimized)
            showWindow();
        else if (!tray.shown())
            window.showMinimized();
        // Only when the user asked for it: the program otherwise never opens a device by itself.
        if (bridge->preferences().boolean("startOnOpen").value_or(false)) bridge->startFromSaved();
        code = QApplication::exec();
    }
    // The window and the tray item are gone; the bridge ends its threads and goes last, here on
    // the main thread while the main queue still exists.
    bridge->shutdown();
    bridge.reset();
    return code;
}

}  // namespace tessaryn
