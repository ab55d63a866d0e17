#include "serial/device_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace tessaryn {

namespace {

std::string readLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool allOf(const std::string& s, int (*is)(int)) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [is](unsigned char c) { return is(c); });
}

}  // namespace

std::optional<NodeGroup> nodeGroup(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    // Already holding the group, joining it again cannot help.
    std::vector<gid_t> held(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
    held.resize(static_cast<std::size_t>(
        std::max(::getgroups(static_cast<int>(held.size() - 1), held.data()), 0)));
    held.push_back(::getegid());
    if (std::find(held.begin(), held.end(), st.st_gid) != held.end()) return std::nullopt;
    std::vector<char> buffer(16384);
    group g{};
    group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &g, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    NodeGroup result{found->gr_name, st.st_gid != 0 && (st.st_mode & 060) == 060, false};

    std::vector<char> userBuffer(16384);
    passwd pw{};
    passwd* user = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, userBuffer.data(), userBuffer.size(), &user) == 0 && user) {
        result.listedMember = user->pw_gid == st.st_gid;
        for (char** m = found->gr_mem; m && *m && !result.listedMember; ++m)
            result.listedMember = std::string(*m) == user->pw_name;
    }
    return result;
}

std::optional<std::string> permissionHint(const NodeGroup& group) {
    if (!group.grantsAccess) return std::nullopt;
    if (group.listedMember)
        return "You are in the group " + group.name +
               ", but this session started before you joined it: log in again.";
    return "Add yourself to the group " + group.name + " (sudo adduser $USER " + group.name +
           ") and log in again.";
}

std::string openErrorText(const std::string& path, int error) {
    std::string text = "Cannot open " + path + ": " + std::generic_category().message(error);
    if (error == EACCES) {
        if (const auto group = nodeGroup(path)) {
            if (const auto hint = permissionHint(*group)) text += ". " + *hint;
        }
    }
    return text;
}

std::optional<UsbBoard> cdcAcmBoard(const fs::path& device, const fs::path& sysfs) {
    std::error_code ec;
    const fs::path node = fs::canonical(device, ec);
    if (ec) return std::nullopt;
    const fs::path tty = sysfs / "class/tty" / node.filename() / "device";
    if (fs::read_symlink(tty / "driver", ec).filename() != "cdc_acm" || ec) return std::nullopt;
    // The tty hangs off a USB interface; the IDs belong to the device above it.
    const fs::path usbDevice = fs::canonical(tty, ec).parent_path();
    if (ec) return std::nullopt;
    UsbBoard board{readLine(usbDevice / "idVendor"), readLine(usbDevice / "idProduct")};
    if (board.vendor.size() != 4 || !allOf(board.vendor, std::isxdigit) ||
        board.product.size() != 4 || !allOf(board.product, std::isxdigit))
        return std::nullopt;
    return board;
}

bool modemManagerRunning(const fs::path& proc) {
    std::error_code ec;
    for (fs::directory_iterator it(proc, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename();
        if (!allOf(name, std::isdigit)) continue;
        if (readLine(it->path() / "comm") == "ModemManager") return true;
    }
    return false;
}

std::string modemManagerNote(const std::string& device, const UsbBoard& board) {
    return "ModemManager is running and may probe " + device +
           " with modem commands for a few seconds after it appears. To keep it away from "
           "this board:\n"
           "  echo 'ATTRS{idVendor}==\"" +
           board.vendor + "\", ATTRS{idProduct}==\"" + board.product +
           "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"' | sudo tee -a "
           "/etc/udev/rules.d/70-tessaryn-modem-ignore.rules\n"
           "  sudo udevadm control --reload    # then plug the board in again";
}

}  // namespace tessaryn
