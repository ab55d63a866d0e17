#pragma once
// A real USB serial board, made with the kernel's USB gadget configfs (inside the test VM): the
// host's cdc-acm driver gives it a ttyACM node with its own vendor, product and serial number,
// and the test plays the board on the gadget's ttyGS node.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/pty.h"

namespace tessaryn::testing {

class UsbBoard {
  public:
    // `udc`: one of /sys/class/udc; each board plugged at the same time needs its own.
    UsbBoard(const std::string& name, const std::string& serial, std::string udc)
        : dir_("/sys/kernel/config/usb_gadget/" + name), udc_(std::move(udc)), serial_(serial) {
        namespace fs = std::filesystem;
        for (const char* d : {"", "strings/0x409", "configs/c.1", "functions/acm.usb0"})
            fs::create_directory(dir_ / d);
        // The same vendor and product for every board: only the serial number tells them apart.
        for (auto [file, text] : {std::pair{"idVendor", "0x1209"},
                                  {"idProduct", "0x7e57"},
                                  {"strings/0x409/serialnumber", serial.c_str()},
                                  {"strings/0x409/manufacturer", "Tessaryn tests"},
                                  {"strings/0x409/product", "Pad"}})
            put(file, text);
        fs::create_directory_symlink(dir_ / "functions/acm.usb0", dir_ / "configs/c.1/acm.usb0");
        std::ifstream(dir_ / "functions/acm.usb0/port_num") >> port_;
    }
    ~UsbBoard() {
        unplug();
        for (const char* d :
             {"configs/c.1/acm.usb0", "configs/c.1", "functions/acm.usb0", "strings/0x409", ""})
            std::filesystem::remove(dir_ / d);
    }

    // Plugs the board in and waits for the host's node: its path, empty if none came.
    std::string plug() {
        put("UDC", udc_);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((node = findNode()).empty() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        appeared = std::chrono::steady_clock::now();
        // The gadget's tty is hung up at every unplug: a fresh one each time, raw, so it echoes
        // nothing back to the host.
        gadget_ =
            ::open(("/dev/ttyGS" + std::to_string(port_)).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(gadget_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(gadget_, TCSANOW, &t);
        // The tty port keeps what reached it as the last one closed: that is not the program's.
        ::tcflush(gadget_, TCIFLUSH);
        return node;
    }
    void unplug() {
        if (gadget_ < 0) return;
        ::close(gadget_);
        gadget_ = -1;
        put("UDC", "\n");
    }
    void send(const std::vector<std::uint8_t>& bytes) const { sendAll(gadget_, bytes); }
    std::vector<std::uint8_t> receive(
        std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return receiveUpTo(gadget_, count, timeout);
    }

    std::string node;                                // the host's node, as of the last plug
    std::chrono::steady_clock::time_point appeared;  // when that node was there

  private:
    void put(const std::string& file, const std::string& text) const {
        std::ofstream out(dir_ / file);
        out << text << std::flush;
        EXPECT_TRUE(out.good()) << (dir_ / file) << " <- " << text;
    }
    // The ttyACM node whose USB device has this board's serial number, once its /dev entry is
    // there.
    std::string findNode() const {
        namespace fs = std::filesystem;
        for (const auto& e : fs::directory_iterator("/sys/class/tty")) {
            const std::string name = e.path().filename();
            std::string serial;
            if (name.starts_with("ttyACM") &&
                std::ifstream(e.path() / "device/../serial") >> serial && serial == serial_ &&
                fs::exists("/dev/" + name))
                return "/dev/" + name;
        }
        return "";
    }
    std::filesystem::path dir_;
    std::string udc_, serial_;
    int port_ = -1, gadget_ = -1;
};

// The UDCs of this machine (two in the test VM), none elsewhere.
inline std::vector<std::string> udcs() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/class/udc", ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tessaryn::testing
