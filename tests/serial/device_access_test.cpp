#include "serial/device_access.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "temp_dir.h"

using namespace tessaryn;
namespace fs = std::filesystem;

namespace {

struct DeviceAccess : tessaryn::testing::TempDirTest {
    void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
};

}  // namespace

TEST(PermissionHint, NamesTheGroupAndTheNewLogin) {
    const struct {
        NodeGroup group;
        const char* hint;  // nullptr: the group cannot help
    } cases[] = {
        {{"dialout", true, false},
         "Add yourself to the group dialout (sudo adduser $USER dialout) and log in again."},
        {{"uucp", true, false},
         "Add yourself to the group uucp (sudo adduser $USER uucp) and log in again."},
        {{"dialout", true, true},
         "You are in the group dialout, but this session started before you joined it: log in "
         "again."},
        {{"root", false, false}, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(permissionHint(c.group),
                  c.hint ? std::optional<std::string>(c.hint) : std::nullopt)
            << c.group.name;
    }
}

// The group is read from the node itself (a plain file stands in for the device: stat sees the
// same owner and mode). Running as root, EACCES cannot be provoked, so the error is passed in.
TEST_F(DeviceAccess, OpenErrorReadsTheGroupFromTheNode) {
    const fs::path node = dir / "ttyACM0";
    write(node, "");
    if (::geteuid() != 0) GTEST_SKIP() << "changing the group of a file needs root";
    ASSERT_EQ(::chown(node.c_str(), 0, 20), 0);  // Debian's dialout
    ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
    EXPECT_EQ(openErrorText(node, EACCES),
              "Cannot open " + node.string() +
                  ": Permission denied. Add yourself to the group dialout (sudo adduser $USER "
                  "dialout) and log in again.");
    ASSERT_EQ(::chmod(node.c_str(), 0600), 0);  // the group has no access: no advice about it
    EXPECT_EQ(openErrorText(node, EACCES), "Cannot open " + node.string() + ": Permission denied");
    EXPECT_EQ(openErrorText(dir / "gone", ENOENT),
              "Cannot open " + (dir / "gone").string() + ": No such file or directory");
}

TEST_F(DeviceAccess, FindsACdcAcmBoardAndModemManager) {
    // sysfs as the kernel lays it out: the tty links to its USB interface, whose parent is the
    // USB device with the IDs.
    const fs::path sys = dir / "sys", usb = sys / "devices/pci0/usb1/1-1";
    write(usb / "idVendor", "2341");
    write(usb / "idProduct", "0043");
    fs::create_directories(usb / "1-1:1.0");
    fs::create_directories(sys / "class/tty/ttyACM0");
    fs::create_symlink("../../../bus/usb/drivers/cdc_acm", usb / "1-1:1.0/driver");
    fs::create_symlink("../../../devices/pci0/usb1/1-1/1-1:1.0", sys / "class/tty/ttyACM0/device");
    fs::create_directories(sys / "devices/pci0/usb1/1-2/1-2:1.0");
    fs::create_directories(sys / "class/tty/ttyUSB0");
    fs::create_symlink("../../../bus/usb-serial/drivers/ftdi_sio",
                       sys / "devices/pci0/usb1/1-2/1-2:1.0/driver");
    fs::create_symlink("../../../devices/pci0/usb1/1-2/1-2:1.0", sys / "class/tty/ttyUSB0/device");

    const fs::path dev = dir / "dev";
    write(dev / "ttyACM0", "");
    write(dev / "ttyUSB0", "");
    fs::create_directories(dev / "serial/by-id");
    fs::create_symlink("../../ttyACM0", dev / "serial/by-id/usb-Maker_Pad-if00");

    for (const auto& path : {dev / "ttyACM0", dev / "serial/by-id/usb-Maker_Pad-if00"}) {
        const auto board = cdcAcmBoard(path, sys);
        ASSERT_TRUE(board) << path;
        EXPECT_EQ(board->vendor, "2341");
        EXPECT_EQ(board->product, "0043");
    }
    EXPECT_FALSE(cdcAcmBoard(dev / "ttyUSB0", sys));
    EXPECT_FALSE(cdcAcmBoard(dev / "ttyACM9", sys));

    const std::string note = modemManagerNote("/dev/ttyACM0", {"2341", "0043"});
    EXPECT_NE(note.find("ModemManager is running and may probe /dev/ttyACM0"), std::string::npos);
    EXPECT_NE(note.find("ATTRS{idVendor}==\"2341\", ATTRS{idProduct}==\"0043\", "
                        "ENV{ID_MM_DEVICE_IGNORE}=\"1\""),
              std::string::npos)
        << note;

    const fs::path proc = dir / "proc";
    write(proc / "1/comm", "systemd");
    write(proc / "self/comm", "ModemManager");  // not a process folder
    EXPECT_FALSE(modemManagerRunning(proc));
    write(proc / "812/comm", "ModemManager");
    EXPECT_TRUE(modemManagerRunning(proc));
}
