#include "cli/options.h"

#include <algorithm>

namespace tessaryn {

const std::vector<CommandOption>& commandOptions() {
    static const std::vector<CommandOption> options = {
        {"headless", nullptr, "bridge without a window, from the saved settings", 'H'},
        {"minimized", nullptr,
         "start the desktop program in the tray (the autostart entry uses it)", kMinimized},
        {"port", "PATH", "the serial device (with --headless; overrides the saved port)", kPort},
        {"baud", "N", "line speed, any positive rate (31250, 115200, 1000000, ...)", kBaud},
        {"data-bits", "5|6|7|8", "data bits", kDataBits},
        {"parity", "none|even|odd", "parity", kParity},
        {"two-stop", nullptr, "two stop bits", kTwoStop},
        {"no-two-stop", nullptr, "one stop bit, whatever is saved", kNoTwoStop},
        {"hw-flow", nullptr, "RTS/CTS flow control", kHwFlow},
        {"no-hw-flow", nullptr, "no flow control, whatever is saved", kNoHwFlow},
        {"wait", nullptr, "if the device cannot be opened, try again every second", 'w'},
        {"quiet", nullptr, "print only status changes", 'q'},
        {"midi", "alsa|jack", "the MIDI system (default: the saved setting midi, else alsa)",
         kMidi},
        {"name", "NAME",
         "run as instance NAME, one per board: MIDI ports \"NAME Out\" and \"NAME In\", "
         "settings and autostart entry of its own (default: the saved setting name, else "
         "Halvenor)",
         kName},
        {"config-dir", "DIR",
         "the preferences folder (default: $XDG_CONFIG_HOME/tessaryn, or "
         "$XDG_CONFIG_HOME/tessaryn/instances/NAME with --name)",
         kConfigDir},
        {"set", "KEY=VALUE", "store a setting (repeatable); see --settings for the keys", kSet},
        {"settings", nullptr, "print every setting with its value and default", 'S'},
        {"list-ports", nullptr, "print the serial devices, one path per line", 'l'},
        {"dev-dir", "DIR", "the device folder --list-ports looks in (default: /dev)", kDevDir},
        {"list-midi", nullptr, "print the hardware MIDI sources and destinations with their IDs",
         'm'},
        {"help", nullptr, "show this help", 'h', 'h'},
        {"version", nullptr, "show the version", 'V', 'V'},
    };
    return options;
}

namespace {

constexpr std::size_t kWidth = 80, kHelpColumn = 26;

// Appends `words` wrapped at kWidth, continuation lines indented to `indent`, starting at
// column `column`.
void wrap(std::string& out, std::string_view words, std::size_t column, std::size_t indent) {
    while (!words.empty()) {
        const std::size_t room = kWidth - column;
        std::size_t cut = words.size();
        if (cut > room) {
            cut = words.rfind(' ', room);
            if (cut == std::string_view::npos || cut == 0) cut = words.find(' ');
            if (cut == std::string_view::npos) cut = words.size();
        }
        out.append(words.substr(0, cut));
        out += '\n';
        words.remove_prefix(std::min(words.size(), cut + 1));
        if (!words.empty()) out.append(indent, ' ');
        column = indent;
    }
}

}  // namespace

std::string usageText() {
    std::string text = "Usage: tessaryn [OPTION]...\n";
    wrap(text,
         "Bridges a USB-serial board that speaks raw MIDI to the MIDI system (\"Halvenor Out\", "
         "\"Halvenor In\"). Without options it starts the desktop program (a tray item and one "
         "window).",
         0, 0);
    text += '\n';
    for (const auto& o : commandOptions()) {
        std::string left = o.letter ? std::string("  -") + o.letter + ", --" : "      --";
        left += o.name;
        if (o.argument) left += std::string(" ") + o.argument;
        if (left.size() + 1 > kHelpColumn) {
            text += left + "\n";
            left.clear();
        }
        left.resize(kHelpColumn, ' ');
        text += left;
        wrap(text, o.help, kHelpColumn, kHelpColumn);
    }
    text += '\n';
    wrap(text,
         "--port, --baud, --data-bits, --parity, --[no-]two-stop and --[no-]hw-flow apply to this "
         "run only.",
         0, 0);
    return text;
}

}  // namespace tessaryn
