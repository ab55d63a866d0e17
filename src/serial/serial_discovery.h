#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryn {

// Call-out nodes as the original desktop platform names them: "cu." prefix, never the node kept
// for incoming Bluetooth connections.
bool isCallOutPortName(std::string_view name);

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

}  // namespace tessaryn
