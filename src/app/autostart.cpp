#include "app/autostart.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "bridge/instance.h"

namespace tessaryn {

namespace fs = std::filesystem;

namespace {

// One argument of an Exec key: quoted when it holds a reserved character, with '"', '`', '$'
// and '\\' escaped inside the quotes; '%' doubled so it is no field code. The string escapes
// of the file then double every backslash.
std::string execArgument(const std::string& arg) {
    std::string quoted;
    bool reserved = false;
    for (const char c : arg) {
        if (std::string_view(" \t\n\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos)
            reserved = true;
        if (std::string_view("\"`$\\").find(c) != std::string_view::npos) quoted += '\\';
        quoted += c;
        if (c == '%') quoted += '%';
    }
    if (reserved) quoted = '"' + quoted + '"';
    std::string escaped;
    for (const char c : quoted) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

}  // namespace

Autostart::Autostart(fs::path configHome, const std::string& instanceName)
    : file_(std::move(configHome) / "autostart" /
            (instanceName == kDefaultInstanceName ? std::string("tessaryn.desktop")
                                                  : "tessaryn-" + instanceName + ".desktop")),
      instance_(instanceName),
      exec_(instanceName == kDefaultInstanceName
                ? "tessaryn --minimized"
                : "tessaryn --name " + execArgument(instanceName) + " --minimized") {}

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
    std::string name = instance_ == kDefaultInstanceName ? "Tessaryn" : "Tessaryn " + instance_;
    for (std::size_t i = 0; (i = name.find('\\', i)) != std::string::npos; i += 2)
        name.insert(i, 1, '\\');
    std::ofstream out(file_);
    out << "[Desktop Entry]\nType=Application\nName="
        << name
        // TryExec: once the program is removed, the desktop stops starting it at login.
        << "\nComment=Serial MIDI bridge\nTryExec=tessaryn\nExec=" << exec_
        << "\nIcon=tessaryn\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    out.close();
    if (!out) return "Cannot write " + file_.string();
    return std::nullopt;
}

}  // namespace tessaryn
