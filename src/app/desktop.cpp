#include "app/desktop.h"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QThread>

#include "app/icons.h"
#include "app/instance_lock.h"
#include "app/main_window.h"
#include "app/qt_main_queue.h"
#include "app/tray.h"
#include "midi/alsa/alsa_midi.h"

#ifndef TESSARYN_FORM_HOST
#define TESSARYN_FORM_HOST "tessaryn.org"
#endif

namespace tessaryn {

namespace {

constexpr char kShow[] = "show\n";

// Asks the running program to show its window. It may still be starting (it takes the lock
// before it listens), so the socket gets two seconds to appear.
void askToShow(const QString& socket) {
    QLocalSocket s;
    for (int i = 0; i < 20; ++i) {
        s.connectToServer(socket);
        if (s.waitForConnected(100)) {
            s.write(kShow);
            s.waitForBytesWritten(1000);
            s.disconnectFromServer();
            return;
        }
        QThread::msleep(100);
    }
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
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tessaryn");
    QApplication::setDesktopFileName("tessaryn");
    QApplication::setWindowIcon(applicationIcon());

    // One desktop program per user: a second launch brings the first one's window forward.
    std::optional<InstanceLock> lock;
    QString socket;
    if (const auto dir = InstanceLock::runtimeDir()) {
        const auto base = InstanceLock::base(*dir, options.instanceName);
        socket = QString::fromStdString(InstanceLock::socketFile(base).string());
        lock.emplace(InstanceLock::lockFile(base));
        if (!lock->owned()) {
            if (!options.minimized) askToShow(socket);
            return 0;
        }
    }

    QtMainQueue main;
    std::shared_ptr<Bridge> bridge;
    try {
        if (options.midi != "alsa")
            throw MIDIServiceError("The " + options.midi +
                                   " MIDI backend is not part of this build");
        bridge = Bridge::create(main, std::make_shared<Preferences>(options.configDir),
                                alsaMIDIFactory());
    } catch (const MIDIServiceError& e) {
        QMessageBox::critical(nullptr, "Tessaryn", QString::fromStdString(e.what()));
        return 1;
    }

    int code = 0;
    {
        MainWindow window(*bridge,
                          Autostart(Autostart::defaultConfigHome(), "tessaryn --minimized"),
                          &SerialPort::availablePorts, TESSARYN_FORM_HOST);
        auto showWindow = [&window] { window.bringForward(); };
        Tray tray(*bridge, showWindow, [] { QApplication::quit(); });
        // However the run ends (Quit, the last window closed, the session ending), held notes
        // are released first.
        QObject::connect(&app, &QCoreApplication::aboutToQuit, [&bridge] { bridge->stop(); });

        QLocalServer server;
        if (lock) {
            server.setSocketOptions(QLocalServer::UserAccessOption);
            QLocalServer::removeServer(socket);  // left by a run that crashed; the lock is ours
            if (server.listen(socket)) answerLaunches(server, showWindow);
        }

        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            // The tray keeps the program reachable: closing the window leaves the bridge running.
            QApplication::setQuitOnLastWindowClosed(false);
            tray.icon()->show();
            if (!options.minimized) showWindow();
        } else if (options.minimized) {
            // No tray (a bare X server, GNOME without the AppIndicator extension): the window is
            // the program, and closing it quits.
            window.showMinimized();
        } else {
            showWindow();
        }
        code = QApplication::exec();
    }
    // The window and the tray item are gone; the bridge ends its threads and goes last, here on
    // the main thread while the main queue still exists.
    bridge->shutdown();
    bridge.reset();
    return code;
}

}  // namespace tessaryn
