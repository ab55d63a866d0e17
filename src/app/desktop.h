#pragma once

#include <filesystem>
#include <string>

namespace tessaryn {

struct DesktopOptions {
    std::filesystem::path configDir;
    std::string midi = "alsa";
    // Names the MIDI client and its ports, the lock (one program per user and name, desktop or
    // headless) and the autostart entry.
    std::string instanceName = "Halvenor";
    // The --name it was started with ("Halvenor" without one, even when the name comes from the
    // saved setting): the autostart entry starts it the same way, with the same settings folder.
    std::string launchName = "Halvenor";
    // Started by the autostart entry: only the tray item, unless there is no tray.
    bool minimized = false;
};

// Runs the desktop program: one bridge from the saved settings, the tray item and the window.
// A second launch with the same instance name shows the first one's window and returns 0; a
// name held by a headless instance is refused (1).
// Returns the exit status.
int runDesktop(int argc, char** argv, const DesktopOptions& options);

}  // namespace tessaryn
