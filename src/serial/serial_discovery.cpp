#include "serial/serial_discovery.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <system_error>

namespace tessaryn {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> entryNames(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    return names;
}

}  // namespace

bool isCallOutPortName(std::string_view name) {
    return name.starts_with("cu.") && name.find("Bluetooth-Incoming") == std::string_view::npos;
}

bool isLinuxPortName(std::string_view name, const fs::path& sysfs) {
    for (std::string_view prefix : {"ttyUSB", "ttyACM", "ttyAMA", "rfcomm"}) {
        if (name.starts_with(prefix)) return true;
    }
    if (!name.starts_with("ttyS")) return false;
    // The 8250 driver registers many ttyS nodes; only those with a detected UART have a
    // non-zero port type.
    std::ifstream type(sysfs / "class" / "tty" / std::string(name) / "type");
    int value = 0;
    return static_cast<bool>(type >> value) && value != 0;
}

std::vector<std::string> portsIn(const fs::path& dev,
                                 bool (*keep)(std::string_view, const fs::path&),
                                 const fs::path& sysfs) {
    std::vector<std::string> names = entryNames(dev);
    std::erase_if(names, [&](const std::string& n) { return !keep(n, sysfs); });
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    for (const auto& n : names) paths.push_back((dev / n).string());
    return paths;
}

std::vector<std::string> linuxPorts(const fs::path& dev, const fs::path& sysfs) {
    // node name -> stable by-id path (the first in name order when there are several)
    std::map<std::string, std::string> stable;
    const fs::path byId = dev / "serial" / "by-id";
    std::vector<std::string> links = entryNames(byId);
    std::sort(links.begin(), links.end());
    for (const auto& link : links) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(byId / link, ec);
        if (ec) continue;
        stable.emplace(target.filename().string(), (byId / link).string());
    }
    std::vector<std::string> paths;
    for (const auto& node : portsIn(dev, isLinuxPortName, sysfs)) {
        auto it = stable.find(fs::path(node).filename().string());
        paths.push_back(it != stable.end() ? it->second : node);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace tessaryn
