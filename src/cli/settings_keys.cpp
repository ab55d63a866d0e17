#include "cli/settings_keys.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "midi/learned_route.h"
#include "serial/serial_types.h"

namespace tessaryn {

namespace {

using T = SettingKey::Type;

std::optional<std::int64_t> parseInteger(std::string_view s) {
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

std::optional<double> parseReal(std::string_view s) {
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

}  // namespace

const std::vector<SettingKey>& settingKeys() {
    static const std::vector<SettingKey> keys = {
        {"remapNotes", T::boolean, "true", "rewrite drum pad notes to targetNote"},
        {"targetNote", T::integer, "38", "the drum note pads are remapped to (0 to 127)"},
        {"forceDrumChannel", T::boolean, "false", "rewritten notes go to MIDI channel 10"},
        {"dropClock", T::boolean, "true", "drop MIDI clock (0xF8)"},
        {"dropSensing", T::boolean, "true", "drop active sensing (0xFE)"},
        {"blockEcho", T::boolean, "true", "drop messages that come straight back"},
        {"paceSysex", T::boolean, "true",
         "pace system-exclusive data toward the board at MIDI DIN speed"},
        {"holdDTR", T::boolean, "false", "do not reset the board when the port opens"},
        {"reconnects", T::boolean, "true", "reopen the device when it returns"},
        {"velocityCurve", T::real, "1.0", "exponent of the velocity curve"},
        {"hardwareOutID", T::integer, "0",
         "ID of a hardware MIDI destination that also receives the traffic (see --list-midi); 0 "
         "means none"},
        {"hardwareInID", T::integer, "0",
         "ID of a hardware MIDI source that is also read (see --list-midi); 0 means none"},
        {"learnedRoutes", T::routes, "[]", "the learned routes, a JSON list"},
        {"port", T::text, "", "the serial device --headless opens"},
        {"baud", T::integer, "115200", "line speed"},
        {"dataBits", T::integer, "8", "data bits, 5 to 8"},
        {"parity", T::parity, "None", "None, Even or Odd"},
        {"twoStop", T::boolean, "false", "two stop bits"},
        {"hwFlow", T::boolean, "false", "RTS/CTS flow control"},
        {"openAtLogin", T::boolean, "false", "the desktop program starts at login"},
        {"midi", T::midi, "alsa",
         "the MIDI system, alsa or jack (--midi overrides it for one run)"},
    };
    return keys;
}

const SettingKey* findSettingKey(std::string_view name) {
    for (const auto& k : settingKeys()) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

std::optional<std::string> checkSetting(const SettingKey& key, std::string_view value) {
    const std::string name = key.name;
    switch (key.type) {
        case T::boolean:
            if (value != "true" && value != "false") return name + " takes true or false";
            break;
        case T::integer:
            if (!parseInteger(value)) return name + " takes a whole number";
            break;
        case T::real:
            if (!parseReal(value)) return name + " takes a decimal number";
            break;
        case T::parity:
            if (!parityFromRaw(value)) return name + " takes None, Even or Odd";
            break;
        case T::routes:
            if (!decodeRoutes(value)) return name + " takes a JSON list of routes";
            break;
        case T::midi:
            if (value != "alsa" && value != "jack") return name + " takes alsa or jack";
            break;
        case T::text:
            break;
    }
    return std::nullopt;
}

void storeSetting(Preferences& prefs, const SettingKey& key, std::string_view value) {
    switch (key.type) {
        case T::boolean:
            prefs.setBoolean(key.name, value == "true");
            break;
        case T::integer:
            prefs.setInteger(key.name, *parseInteger(value));
            break;
        case T::real:
            prefs.setReal(key.name, *parseReal(value));
            break;
        case T::routes:
            prefs.setData(key.name, value);
            break;
        case T::text:
        case T::parity:
        case T::midi:
            prefs.setText(key.name, value);
            break;
    }
}

std::optional<std::string> showSetting(const Preferences& prefs, const SettingKey& key) {
    switch (key.type) {
        case T::boolean:
            if (auto v = prefs.boolean(key.name)) return *v ? "true" : "false";
            break;
        case T::integer:
            if (auto v = prefs.integer(key.name)) return std::to_string(*v);
            break;
        case T::real:
            if (auto v = prefs.real(key.name)) {
                char buf[32];
                std::snprintf(buf, sizeof buf, "%g", *v);
                std::string text = buf;
                // Whole numbers as the defaults show them: 1.0, not 1.
                if (text.find_first_of(".eni") == std::string::npos) text += ".0";
                return text;
            }
            break;
        case T::routes:
            return prefs.data(key.name);
        case T::text:
        case T::parity:
        case T::midi:
            return prefs.text(key.name);
    }
    return std::nullopt;
}

}  // namespace tessaryn
