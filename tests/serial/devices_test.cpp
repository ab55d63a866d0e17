// Finding, choosing and configuring serial devices, on a made-up /dev, /sys and /proc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "serial/device_access.h"
#include "serial/line_settings.h"
#include "serial/serial_discovery.h"
#include "temp_dir.h"

using namespace tessaryn;
namespace fs = std::filesystem;

TEST(ControlFlags, FramingReplacesTheOldAndLeavesTheRest) {
    const tcflag_t base = CLOCAL | CREAD;
    const struct {
        tcflag_t before;
        std::int64_t bits;
        Parity parity;
        bool two, hw, holdDTR;
        tcflag_t after;
    } cases[] = {
        {0, 8, Parity::none, false, false, false, base | CS8},
        {CS5 | PARENB | PARODD | CSTOPB | CRTSCTS, 6, Parity::none, false, false, false,
         base | CS6},
        {HUPCL | B9600, 7, Parity::even, false, false, false, HUPCL | B9600 | base | CS7 | PARENB},
        {HUPCL | B9600, 5, Parity::odd, true, true, true,
         B9600 | base | CS5 | PARENB | PARODD | CSTOPB | CRTSCTS},
        {HUPCL, 9, Parity::none, false, false, false, HUPCL | base | CS8},  // unknown width: 8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(composeControlFlags(c.before, c.bits, c.parity, c.two, c.hw, c.holdDTR), c.after)
            << std::hex << c.before << std::dec << " bits " << c.bits;
    }
}

namespace {

struct Devices : tessaryn::testing::TempDirTest {
    void write(const fs::path& file, const std::string& text = "") {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    // A tty bound to interface `iface` of USB device `usb`, as the kernel links them.
    void usbTty(const std::string& tty, const std::string& usb, const std::string& driver) {
        const fs::path iface = sys / "devices/pci0/usb1" / usb / (usb + ":1.0");
        fs::create_directories(iface);
        fs::create_directories(sys / "class/tty" / tty);
        fs::create_symlink("../../../bus/usb/drivers/" + driver, iface / "driver");
        fs::create_symlink("../../../devices/pci0/usb1/" + usb + "/" + usb + ":1.0",
                           sys / "class/tty" / tty / "device");
    }
    std::string node(const std::string& name) { return (dev / name).string(); }

    const fs::path sys = dir / "sys", dev = dir / "dev";
};

}  // namespace

TEST_F(Devices, OfferedUnderStableNamesWithTheirUsbIdentity) {
    for (auto n : {"ttyUSB0", "ttyACM0", "ttyAMA0", "rfcomm0", "ttyS0", "ttyS1", "ttyS2", "tty0",
                   "tty", "null", "ttyprintk", "console"}) {
        write(dev / n);
    }
    write(sys / "class/tty/ttyS0/type", "4");  // a 16550A
    write(sys / "class/tty/ttyS1/type", "0");  // nothing behind it
    usbTty("ttyACM0", "1-1", "cdc_acm");
    write(sys / "devices/pci0/usb1/1-1/idVendor", "2341");
    write(sys / "devices/pci0/usb1/1-1/idProduct", "0043");
    write(sys / "devices/pci0/usb1/1-1/serial", "PAD1");
    usbTty("ttyUSB0", "1-2", "ftdi_sio");  // no serial number: its USB port stands in
    write(sys / "devices/pci0/usb1/1-2/idVendor", "0403");
    write(sys / "devices/pci0/usb1/1-2/idProduct", "6001");
    fs::create_directories(dev / "serial/by-id");
    fs::create_symlink("../../ttyACM0", dev / "serial/by-id/usb-Maker_Pad-if00");

    EXPECT_EQ(linuxDevices(dev, sys),
              (std::vector<SerialDevice>{
                  {node("rfcomm0"), "", false},
                  {node("serial/by-id/usb-Maker_Pad-if00"), "2341:0043:PAD1", true},
                  {node("ttyAMA0"), "", false},
                  {node("ttyS0"), "", false},
                  {node("ttyUSB0"), "0403:6001:@1-2", true}}));
    EXPECT_TRUE(linuxDevices(dir / "nothing", sys).empty());

    // Only a CDC-ACM board draws ModemManager's probing, found through its by-id name too.
    for (const auto& path : {dev / "ttyACM0", dev / "serial/by-id/usb-Maker_Pad-if00"}) {
        const auto board = cdcAcmBoard(path, sys);
        ASSERT_TRUE(board) << path;
        EXPECT_EQ(board->vendor + ":" + board->product, "2341:0043");
    }
    EXPECT_FALSE(cdcAcmBoard(dev / "ttyUSB0", sys));
    EXPECT_FALSE(cdcAcmBoard(dev / "ttyACM9", sys));
    const std::string note = modemManagerNote("/dev/ttyACM0", {"2341", "0043"});
    EXPECT_NE(note.find("ATTRS{idVendor}==\"2341\", ATTRS{idProduct}==\"0043\", "
                        "ENV{ID_MM_DEVICE_IGNORE}=\"1\""),
              std::string::npos)
        << note;

    write(dir / "proc/1/comm", "systemd");
    write(dir / "proc/self/comm", "ModemManager");  // not a process folder
    EXPECT_FALSE(modemManagerRunning(dir / "proc"));
    write(dir / "proc/812/comm", "ModemManager");
    EXPECT_TRUE(modemManagerRunning(dir / "proc"));
}

TEST(Reconnect, TakesTheSameBoardElseWhenItIsUnknownTheOnlyHotplugDevice) {
    const SerialDevice pad{"/dev/ttyACM3", "16c0:0483:PAD1", true},
        cable{"/dev/ttyUSB0", "0403:6001:@1-2", true}, com{"/dev/ttyS0", "", false},
        pi{"/dev/ttyAMA0", "", false};
    const struct {
        std::string identity;
        std::vector<SerialDevice> present;
        std::optional<std::string> chosen;
    } cases[] = {
        {"16c0:0483:PAD1", {com, pad, cable}, "/dev/ttyACM3"},  // the same board, renamed
        {"16c0:0483:PAD1", {com, pi}, std::nullopt},            // built-in UARTs only
        {"", {pi, cable}, "/dev/ttyUSB0"},                      // the only USB adapter
        {"16c0:0483:PAD1", {cable}, std::nullopt},              // a known board is never replaced
        {"", {pad, cable}, std::nullopt},                       // two: which one is unknown
        {"", {}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(replacementDevice(c.identity, c.present), c.chosen) << c.present.size();
}

// The group is read from the node itself (a plain file stands in for the device: stat sees the
// same owner and mode). Running as root, EACCES cannot be provoked, so the error is passed in.
TEST_F(Devices, PermissionAdviceNamesTheNodesGroupAndTheNewLogin) {
    EXPECT_EQ(permissionHint({"uucp", true, false}),
              "Add yourself to the group uucp (sudo adduser $USER uucp) and log in again.");
    EXPECT_EQ(permissionHint({"dialout", true, true}),
              "You are in the group dialout, but this session started before you joined it: log "
              "in again.");
    EXPECT_EQ(permissionHint({"root", false, false}), std::nullopt);  // the group cannot help
    const fs::path node = dir / "ttyACM0";
    write(node);
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
