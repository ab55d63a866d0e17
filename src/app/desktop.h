#pragma once

#include <filesystem>
#include <string>

namespace tessaryn {

// Runs the desktop program: one bridge from the saved settings, the tray item and the window.
// Returns the exit status.
int runDesktop(int argc, char** argv, const std::filesystem::path& configDir,
               const std::string& midi);

}  // namespace tessaryn
