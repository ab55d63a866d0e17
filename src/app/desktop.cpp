#include "app/desktop.h"

#include <QApplication>
#include <QMessageBox>

#include "app/icons.h"
#include "app/main_window.h"
#include "app/qt_main_queue.h"
#include "app/tray.h"
#include "midi/alsa/alsa_midi.h"

#ifndef TESSARYN_FORM_HOST
#define TESSARYN_FORM_HOST "tessaryn.org"
#endif

namespace tessaryn {

int runDesktop(int argc, char** argv, const std::filesystem::path& configDir,
               const std::string& midi) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tessaryn");
    QApplication::setDesktopFileName("tessaryn");
    QApplication::setWindowIcon(applicationIcon());

    QtMainQueue main;
    std::shared_ptr<Bridge> bridge;
    try {
        if (midi != "alsa")
            throw MIDIServiceError("The " + midi + " MIDI backend is not part of this build");
        bridge = Bridge::create(main, std::make_shared<Preferences>(configDir), alsaMIDIFactory());
    } catch (const MIDIServiceError& e) {
        QMessageBox::critical(nullptr, "Tessaryn", QString::fromStdString(e.what()));
        return 1;
    }

    MainWindow window(*bridge, Autostart(Autostart::defaultConfigHome(), "tessaryn"),
                      &SerialPort::availablePorts, TESSARYN_FORM_HOST);
    auto showWindow = [&window] {
        window.show();
        window.raise();
        window.activateWindow();
    };
    Tray tray(*bridge, showWindow, [] { QApplication::quit(); });

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        // The tray keeps the program reachable: closing the window leaves the bridge running.
        QApplication::setQuitOnLastWindowClosed(false);
        tray.icon()->show();
    } else {
        // No tray (a bare X server, GNOME without the AppIndicator extension): the window is the
        // program, and closing it quits.
        showWindow();
    }
    return QApplication::exec();
}

}  // namespace tessaryn
