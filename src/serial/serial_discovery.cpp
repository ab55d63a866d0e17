#include "serial/serial_discovery.h"

#include <sys/inotify.h>
#include <unistd.h>

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
    std::vector<std::string> paths;
    for (auto& d : linuxDevices(dev, sysfs)) paths.push_back(std::move(d.path));
    return paths;
}

bool isHotplugPortName(std::string_view name) {
    return name.starts_with("ttyACM") || name.starts_with("ttyUSB");
}

std::string usbIdentity(std::string_view name, const fs::path& sysfs) {
    std::error_code ec;
    fs::path at = fs::canonical(sysfs / "class" / "tty" / std::string(name) / "device", ec);
    if (ec) return "";
    auto read = [](const fs::path& file) {
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);
        return line;
    };
    // The interface's folder sits inside the USB device's, which has the descriptors.
    for (; !at.empty() && at != at.root_path(); at = at.parent_path()) {
        const std::string vendor = read(at / "idVendor");
        if (vendor.empty()) continue;
        std::string serial = read(at / "serial");
        if (serial.empty()) serial = "@" + at.filename().string();
        return vendor + ":" + read(at / "idProduct") + ":" + serial;
    }
    return "";
}

std::optional<std::string> replacementDevice(const std::string& identity,
                                             const std::vector<SerialDevice>& present) {
    if (!identity.empty()) {
        for (const auto& d : present) {
            if (d.identity == identity) return d.path;
        }
        return std::nullopt;  // the saved board is known: no other takes its place
    }
    const SerialDevice* only = nullptr;
    for (const auto& d : present) {
        if (!d.hotplug) continue;
        if (only) return std::nullopt;
        only = &d;
    }
    if (only) return only->path;
    return std::nullopt;
}

std::vector<SerialDevice> linuxDevices(const fs::path& dev, const fs::path& sysfs) {
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
    std::vector<SerialDevice> devices;
    for (const auto& node : portsIn(dev, isLinuxPortName, sysfs)) {
        const std::string name = fs::path(node).filename().string();
        auto it = stable.find(name);
        devices.push_back({it != stable.end() ? it->second : node, usbIdentity(name, sysfs),
                           isHotplugPortName(name)});
    }
    std::sort(devices.begin(), devices.end(),
              [](const auto& a, const auto& b) { return a.path < b.path; });
    return devices;
}

DeviceNodeWatch::DeviceNodeWatch(IoQueue& queue, std::vector<fs::path> dirs,
                                 std::function<void()> changed) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return;  // the caller's timer still retries
    auto watchAll = [fd, dirs = std::move(dirs)] {
        for (const auto& d : dirs)  // a folder already watched keeps its watch
            ::inotify_add_watch(fd, d.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR);
    };
    watchAll();
    source_ = queue.addReadSource(
        fd,
        [fd, watchAll, changed = std::move(changed)] {
            alignas(inotify_event) char buf[4096];
            while (::read(fd, buf, sizeof buf) > 0) {
            }
            watchAll();  // dev/serial/by-id appears with the first USB adapter
            changed();
        },
        [fd] { ::close(fd); });
}

DeviceNodeWatch::~DeviceNodeWatch() {
    if (source_) source_->cancel();
}

}  // namespace tessaryn
