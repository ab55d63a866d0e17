#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/io_queue.h"

namespace tessaryn {

// Serial devices on Linux: USB (ttyUSB, ttyACM), on-board UARTs of small boards (ttyAMA),
// Bluetooth (rfcomm), and ttyS only where sysfs shows a real UART behind it.
bool isLinuxPortName(std::string_view name, const std::filesystem::path& sysfs);

// Full paths under `dev` of the names `keep` accepts, sorted by plain text comparison.
// An unreadable directory gives an empty list.
std::vector<std::string> portsIn(const std::filesystem::path& dev,
                                 bool (*keep)(std::string_view name,
                                              const std::filesystem::path& sysfs),
                                 const std::filesystem::path& sysfs);

// Linux discovery: like portsIn with isLinuxPortName, but a device with a stable name under
// dev/serial/by-id is offered under that name, so a board replugged as another node is found
// again under its own.
std::vector<std::string> linuxPorts(const std::filesystem::path& dev,
                                    const std::filesystem::path& sysfs);

// A serial device as reconnecting sees it.
struct SerialDevice {
    std::string path;      // as linuxPorts offers it
    std::string identity;  // the USB device behind it (see usbIdentity), or empty
    bool hotplug = false;  // a USB adapter that comes and goes with its cable (ttyACM, ttyUSB)
    friend bool operator==(const SerialDevice&, const SerialDevice&) = default;
};

// USB CDC-ACM and USB-serial adapters; never a UART built into the machine.
bool isHotplugPortName(std::string_view name);

// "vendor:product:serial" of the USB device behind tty node `name`, from sysfs; without a
// serial number the USB port it sits in stands in for it. Empty when no USB device is behind it.
std::string usbIdentity(std::string_view name, const std::filesystem::path& sysfs);

// linuxPorts with what is known of each device.
std::vector<SerialDevice> linuxDevices(const std::filesystem::path& dev,
                                       const std::filesystem::path& sysfs);

// The device to open when the saved one is gone: while its identity is known, only the same
// device, under whatever name it now has; otherwise the only hot-pluggable device present. None
// when there is no such device. A built-in UART is never taken in the board's place.
std::optional<std::string> replacementDevice(const std::string& identity,
                                             const std::vector<SerialDevice>& present);

// Calls `changed` on the queue's thread whenever an entry appears in, moves into or changes
// (udev setting permissions) one of `dirs`. A folder missing now is watched once it exists.
// Ends on destruction.
class DeviceNodeWatch {
  public:
    DeviceNodeWatch(IoQueue& queue, std::vector<std::filesystem::path> dirs,
                    std::function<void()> changed);
    ~DeviceNodeWatch();
    DeviceNodeWatch(const DeviceNodeWatch&) = delete;
    DeviceNodeWatch& operator=(const DeviceNodeWatch&) = delete;
    // False when the system refused a watch: the caller must retry on a timer instead.
    bool watching() const { return source_ != nullptr; }

  private:
    std::shared_ptr<IoQueue::ReadSource> source_;
};

}  // namespace tessaryn
