#include <gtest/gtest.h>

#include "serial/line_settings.h"
#include "serial/serial_discovery.h"

#include <fstream>

#include "temp_dir.h"

using namespace tessaryn;

TEST(ControlFlags, EveryCombination) {
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const tcflag_t others = CLOCAL | CREAD | CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
    for (tcflag_t before : {tcflag_t{0}, ~tcflag_t{0}, tcflag_t{HUPCL | B9600}}) {
        for (std::int64_t bits : {5, 6, 7, 8, 9, 0, -1}) {
            for (Parity parity : kAllParities) {
                for (int flags = 0; flags < 8; ++flags) {
                    const bool two = flags & 1, hw = flags & 2, hold = flags & 4;
                    const tcflag_t c = composeControlFlags(before, bits, parity, two, hw, hold);
                    SCOPED_TRACE(::testing::Message()
                                 << std::hex << before << std::dec << " bits " << bits << " parity "
                                 << rawValue(parity) << " flags " << flags);
                    EXPECT_EQ(c & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
                    EXPECT_EQ(c & CSIZE, bits >= 5 && bits <= 7 ? sizes[bits - 5] : CS8);
                    EXPECT_EQ(bool(c & PARENB), parity != Parity::none);
                    EXPECT_EQ(bool(c & PARODD), parity == Parity::odd);
                    EXPECT_EQ(bool(c & CSTOPB), two);
                    EXPECT_EQ((c & CRTSCTS) == CRTSCTS, hw);
                    EXPECT_EQ(c & HUPCL, hold ? 0 : (before & HUPCL));
                    EXPECT_EQ(c & ~others, before & ~others);  // nothing else touched
                }
            }
        }
    }
}

TEST(Parity, RawValues) {
    EXPECT_EQ(rawValue(Parity::none), "None");
    EXPECT_EQ(parityFromRaw("Even"), Parity::even);
    EXPECT_EQ(parityFromRaw("Odd"), Parity::odd);
    EXPECT_FALSE(parityFromRaw("odd").has_value());
    EXPECT_FALSE(parityFromRaw("").has_value());
}

namespace {

// A made-up /dev and /sys under a fresh folder.
struct FakeDev : tessaryn::testing::TempDirTest {
    void touch(const std::string& name) {
        std::filesystem::create_directories(dir / "dev");
        std::ofstream(dir / "dev" / name).put('x');
    }
    void uart(const std::string& name, int type) {
        std::filesystem::create_directories(dir / "sys/class/tty" / name);
        std::ofstream(dir / "sys/class/tty" / name / "type") << type << "\n";
    }
    std::string dev(const std::string& name) { return (dir / "dev" / name).string(); }
};

bool callOut(std::string_view n, const std::filesystem::path&) {
    return isCallOutPortName(n);
}

}  // namespace

TEST_F(FakeDev, CallOutRule) {
    for (auto n :
         {"cu.usbserial-10", "tty.usbserial-10", "cu.Bluetooth-Incoming-Port", "cu.debug-console",
          "cu", "cux.a", "cu.", "cu.usbmodem2", "cu.usbmodem11", "cu.Zed"}) {
        touch(n);
    }
    EXPECT_EQ(portsIn(dir / "dev", callOut, dir / "sys"),
              (std::vector<std::string>{dev("cu."), dev("cu.Zed"), dev("cu.debug-console"),
                                        dev("cu.usbmodem11"), dev("cu.usbmodem2"),
                                        dev("cu.usbserial-10")}));
    EXPECT_TRUE(portsIn(dir / "missing", callOut, dir / "sys").empty());
}

TEST_F(FakeDev, LinuxRuleWithStableNames) {
    for (auto n : {"ttyUSB0", "ttyACM1", "ttyACM0", "ttyAMA0", "rfcomm0", "ttyS0", "ttyS1", "ttyS2",
                   "tty0", "tty", "null", "ttyprintk", "console"}) {
        touch(n);
    }
    uart("ttyS0", 4);  // a 16550A
    uart("ttyS1", 0);  // nothing behind it
    std::filesystem::create_directories(dir / "dev/serial/by-id");
    std::filesystem::create_symlink("../../ttyACM1",
                                    dir / "dev/serial/by-id/usb-Maker_Pad_1234-if00");
    EXPECT_EQ(
        linuxPorts(dir / "dev", dir / "sys"),
        (std::vector<std::string>{dev("rfcomm0"), dev("serial/by-id/usb-Maker_Pad_1234-if00"),
                                  dev("ttyACM0"), dev("ttyAMA0"), dev("ttyS0"), dev("ttyUSB0")}));
    EXPECT_TRUE(linuxPorts(dir / "nothing", dir / "sys").empty());
}

TEST_F(FakeDev, ReconnectRuleUsesIdentityAndOnlyHotplugDevices) {
    // A USB board in sysfs: the tty's device is the interface inside the USB device.
    const auto usb = dir / "sys/devices/pci0000:00/usb1/1-1";
    std::filesystem::create_directories(usb / "1-1:1.0");
    std::ofstream(usb / "idVendor") << "16c0\n";
    std::ofstream(usb / "idProduct") << "0483\n";
    std::ofstream(usb / "serial") << "PAD1\n";
    const auto nameless = dir / "sys/devices/pci0000:00/usb1/1-2";
    std::filesystem::create_directories(nameless / "1-2:1.0");
    std::ofstream(nameless / "idVendor") << "0403\n";
    std::ofstream(nameless / "idProduct") << "6001\n";
    std::filesystem::create_directories(dir / "sys/class/tty/ttyACM3");
    std::filesystem::create_symlink(usb / "1-1:1.0", dir / "sys/class/tty/ttyACM3/device");
    std::filesystem::create_directories(dir / "sys/class/tty/ttyUSB0");
    std::filesystem::create_symlink(nameless / "1-2:1.0", dir / "sys/class/tty/ttyUSB0/device");
    for (auto n : {"ttyACM3", "ttyUSB0", "ttyS0", "ttyAMA0"}) touch(n);
    uart("ttyS0", 4);
    EXPECT_EQ(linuxDevices(dir / "dev", dir / "sys"),
              (std::vector<SerialDevice>{{dev("ttyACM3"), "16c0:0483:PAD1", true},
                                         {dev("ttyAMA0"), "", false},
                                         {dev("ttyS0"), "", false},
                                         {dev("ttyUSB0"), "0403:6001:@1-2", true}}));

    const SerialDevice pad{"/dev/ttyACM3", "16c0:0483:PAD1", true},
        cable{"/dev/ttyUSB0", "0403:6001:@1-2", true}, com{"/dev/ttyS0", "", false},
        pi{"/dev/ttyAMA0", "", false};
    struct {
        std::string identity;
        std::vector<SerialDevice> present;
        std::optional<std::string> chosen;
    } cases[] = {
        {"16c0:0483:PAD1", {com, pad, cable}, "/dev/ttyACM3"},  // the same board, renamed
        {"16c0:0483:PAD1", {com, pi}, std::nullopt},            // built-in UARTs only
        {"", {com}, std::nullopt},
        {"", {pi, cable}, "/dev/ttyUSB0"},  // the only USB adapter
        {"16c0:0483:PAD1", {cable}, "/dev/ttyUSB0"},
        {"", {pad, cable}, std::nullopt},  // two: which one is unknown
        {"", {}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(replacementDevice(c.identity, c.present), c.chosen) << c.present.size();
}
