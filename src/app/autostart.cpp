#include "app/autostart.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace tessaryn {

namespace fs = std::filesystem;

Autostart::Autostart(fs::path configHome, std::string exec)
    : file_(std::move(configHome) / "autostart" / "tessaryn.desktop"), exec_(std::move(exec)) {}

fs::path Autostart::defaultConfigHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".config";
}

bool Autostart::enabled() const {
    std::ifstream in(file_);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        if (line == "Hidden=true") return false;
    }
    return true;
}

std::optional<std::string> Autostart::setEnabled(bool on) {
    std::error_code ec;
    if (!on) {
        if (fs::remove(file_, ec); ec)
            return "Cannot remove " + file_.string() + ": " + ec.message();
        return std::nullopt;
    }
    fs::create_directories(file_.parent_path(), ec);
    if (ec) return "Cannot create " + file_.parent_path().string() + ": " + ec.message();
    std::ofstream out(file_);
    out << "[Desktop Entry]\nType=Application\nName=Tessaryn\nComment=Serial MIDI bridge\nExec="
        << exec_ << "\nIcon=tessaryn\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    out.close();
    if (!out) return "Cannot write " + file_.string();
    return std::nullopt;
}

}  // namespace tessaryn
