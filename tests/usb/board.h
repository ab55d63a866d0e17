#pragma once
// Real USB serial boards inside the test VM, which the test plugs, unplugs and plays: CDC-ACM
// boards made with the kernel's USB gadget configfs (the host's cdc-acm driver gives each a
// ttyACM node with its own vendor, product and serial number; the test plays it on the gadget's
// ttyGS node), and qemu's FT232 behind xHCI (ftdi_sio's ttyUSB node), plugged through qemu's
// monitor and played on a virtio port (see scripts/alsa-vm.sh).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "serial/pty.h"
#include "wait.h"

namespace tessaryn::testing {

namespace fs = std::filesystem;

// The entries of a folder, sorted; none when it is missing (outside the VM).
inline std::vector<fs::path> entries(const fs::path& dir) {
    std::error_code ec;
    std::vector<fs::path> found(fs::directory_iterator(dir, ec), {});
    std::ranges::sort(found);
    return found;
}

// The virtio port the VM gave this name, or "".
inline std::string virtioPort(const std::string& name) {
    std::string n;
    for (const auto& p : entries("/sys/class/virtio-ports"))
        if (std::ifstream(p / "name") >> n && n == name) return "/dev/" + p.filename().string();
    return "";
}

class Board : public LineEnd {
  public:
    virtual ~Board() = default;
    // Plugs the board in and waits for the host's node: its path, empty if none came.
    virtual std::string plug() = 0;
    virtual void unplug() = 0;

    std::string node;                                // the host's node, as of the last plug
    std::chrono::steady_clock::time_point appeared;  // when that node was there

  protected:
    explicit Board(std::string serial) : serial_(std::move(serial)) {}
    // Waits for the node whose USB device (the tty's parent or grandparent) has our serial.
    std::string waitForNode() {
        node.clear();
        eventually([&] {
            std::string s;
            for (const auto& tty : entries("/sys/class/tty")) {
                const std::string name = tty.filename();
                if ((name.starts_with("ttyACM") || name.starts_with("ttyUSB")) &&
                    (std::ifstream(tty / "device/../serial") >> s ||
                     std::ifstream(tty / "device/../../serial") >> s) &&
                    s == serial_ && fs::exists("/dev/" + name))
                    node = "/dev/" + name;
            }
            return !node.empty();
        });
        appeared = std::chrono::steady_clock::now();
        return node;
    }
    std::string serial_;
};

// A CDC-ACM board on the UDC of this index (each board plugged at once needs its own).
class UsbBoard : public Board {
  public:
    UsbBoard(const std::string& name, const std::string& serial, int udc)
        : Board(serial),
          dir_("/sys/kernel/config/usb_gadget/" + name),
          udc_(entries("/sys/class/udc").at(udc).filename()) {
        for (const char* d : {"", "strings/0x409", "configs/c.1", "functions/acm.usb0"})
            fs::create_directory(dir_ / d);
        // The same vendor and product for every board: only the serial number tells them apart.
        put("idVendor", "0x1209");
        put("idProduct", "0x7e57");
        put("strings/0x409/serialnumber", serial);
        std::error_code ec;  // there from an earlier run in the same boot
        fs::create_directory_symlink(dir_ / "functions/acm.usb0", dir_ / "configs/c.1/a", ec);
        std::ifstream(dir_ / "functions/acm.usb0/port_num") >> port_;
    }
    ~UsbBoard() override { unplug(); }
    std::string plug() override {
        put("UDC", udc_);
        // The gadget's tty is hung up at every unplug: a fresh one each time, raw, so it echoes
        // nothing back.
        master =
            ::open(("/dev/ttyGS" + std::to_string(port_)).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSAFLUSH, &t);
        waitForNode();
        // The byte on its way when the board was pulled can still come out here once the host
        // has connected: the old connection's, not the next one's.
        ::tcflush(master, TCIFLUSH);
        return node;
    }
    // Unbound first, which drops what reached the gadget since: not the next connection's.
    void unplug() override {
        if (master < 0) return;
        put("UDC", "\n");
        ::close(std::exchange(master, -1));
    }

  private:
    void put(const std::string& file, const std::string& text) const {
        EXPECT_TRUE((std::ofstream(dir_ / file) << text << std::flush).good()) << dir_ / file;
    }
    fs::path dir_;
    std::string udc_;
    int port_ = -1;
};

// qemu's FT232, plugged and unplugged with device_add and device_del on qemu's monitor.
class Ft232 : public Board {
  public:
    explicit Ft232(const std::string& serial) : Board(serial) {
        master = ::open(virtioPort("ft232").c_str(), O_RDWR | O_CLOEXEC);
        command(R"("qmp_capabilities")");  // refused when an earlier test did it
    }
    ~Ft232() override {
        unplug();
        ::close(master);
        ::close(qmp_);
    }
    std::string plug() override {
        const std::string add = R"("device_add", "arguments": {"driver": "usb-serial", "id": )"
                                R"("ft232", "bus": "xhci.0", "chardev": "ft232", "serial": ")" +
                                serial_ + "\"}";
        std::string answer;
        // qemu lets the chip's other end go a moment after the chip.
        eventually([&] { return (answer = command(add)).find("in use") == std::string::npos; });
        EXPECT_EQ(answer.find("error"), std::string::npos) << answer;
        return waitForNode();
    }
    void unplug() override {
        if (node.empty()) return;
        const std::string answer = command(R"("device_del", "arguments": {"id": "ft232"})");
        EXPECT_EQ(answer.find("error"), std::string::npos) << answer;
        node.clear();
        receive(1 << 20, std::chrono::milliseconds(100));  // what was on its way, now stale
    }

  private:
    // Runs a monitor command and returns its answer (events and earlier answers are skipped).
    std::string command(const std::string& what) {
        const std::string id = R"("id": ")" + std::to_string(++sent_) + '"';
        const std::string line = R"({"execute": )" + what + ", " + id + "}\n";
        LineEnd{qmp_}.send({line.begin(), line.end()});
        std::string in;
        for (std::vector<std::uint8_t> b; in.find('\n', in.find(id)) == in.npos; in += char(b[0]))
            if ((b = LineEnd{qmp_}.receive(1, 10s)).empty()) return "error: no answer to " + what;
        return in.substr(in.rfind('\n', in.find(id)) + 1);
    }
    int qmp_ = ::open(virtioPort("qmp").c_str(), O_RDWR | O_CLOEXEC), sent_ = ::getpid() * 1000;
};

}  // namespace tessaryn::testing
