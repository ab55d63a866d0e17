#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tessaryn {

// "Open at login" through an XDG autostart entry: its presence (and no Hidden=true) is the
// desktop's answer.
class Autostart {
  public:
    // `configHome` is $XDG_CONFIG_HOME or ~/.config; `exec` the command line to start.
    Autostart(std::filesystem::path configHome, std::string exec);
    static std::filesystem::path defaultConfigHome();

    bool enabled() const;
    // Returns an error text, or none.
    std::optional<std::string> setEnabled(bool on);
    const std::filesystem::path& file() const { return file_; }

  private:
    std::filesystem::path file_;
    std::string exec_;
};

}  // namespace tessaryn
