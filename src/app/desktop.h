#pragma once

#include <filesystem>
#include <string>

namespace tessaryn {

struct DesktopOptions {
    std::filesystem::path configDir;
    std::string midi = "alsa";
    // Names the single-instance lock: one desktop program per user and name.
    std::string instanceName = "Halvenor";
    // Started by the autostart entry: only the tray item, unless there is no tray.
    bool minimized = false;
};

// Runs the desktop program: one bridge from the saved settings, the tray item and the window.
// A second launch with the same instance name shows the first one's window and returns 0.
// Returns the exit status.
int runDesktop(int argc, char** argv, const DesktopOptions& options);

}  // namespace tessaryn
