#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tessaryn {

// "Cannot open PATH: REASON", and for "Permission denied" what to do about it on this system,
// read from the device node's group and the user's memberships.
std::string openErrorText(const std::string& path, int error);

// Who may open a device node, as far as its group goes.
struct NodeGroup {
    std::string name;   // the group owning the node
    bool grantsAccess;  // the group may read and write it, and it is not root's
    bool listedMember;  // the group database lists the user in it
};
// The group of the node at `path`, when joining it would help (the user does not hold it).
std::optional<NodeGroup> nodeGroup(const std::string& path);
// The advice after "Permission denied", or none when the group cannot help.
std::optional<std::string> permissionHint(const NodeGroup& group);

// A USB CDC-ACM board (ttyACM), by its USB IDs.
struct UsbBoard {
    std::string vendor, product;  // four hex digits each, as sysfs shows them
};
// The board behind `device` (a by-id link is followed), or none when it is not CDC-ACM.
std::optional<UsbBoard> cdcAcmBoard(const std::filesystem::path& device,
                                    const std::filesystem::path& sysfs);
bool modemManagerRunning(const std::filesystem::path& proc);
// What ModemManager may do to the board and the udev rule that keeps it away.
std::string modemManagerNote(const std::string& device, const UsbBoard& board);

}  // namespace tessaryn
