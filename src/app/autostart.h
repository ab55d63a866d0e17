#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tessaryn {

// "Open at login" through an XDG autostart entry: its presence (and no Hidden=true) is the
// desktop's answer.
class Autostart {
  public:
    // `configHome` is $XDG_CONFIG_HOME or ~/.config. One entry per instance name: tessaryn.desktop
    // for the default instance, tessaryn-NAME.desktop starting `tessaryn --name NAME` otherwise;
    // both start minimized to the tray.
    Autostart(std::filesystem::path configHome, const std::string& instanceName);
    static std::filesystem::path defaultConfigHome();

    bool enabled() const;
    // Returns an error text, or none.
    std::optional<std::string> setEnabled(bool on);
    const std::filesystem::path& file() const { return file_; }
    const std::string& instanceName() const { return instance_; }

  private:
    std::filesystem::path file_;
    std::string instance_, exec_;
};

}  // namespace tessaryn
