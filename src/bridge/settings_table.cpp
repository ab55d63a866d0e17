#include "bridge/settings_table.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "bridge/instance.h"
#include "midi/learned_route.h"

namespace tessaryn {

namespace {

using T = Setting::Type;
using A = Setting::Applies;

constexpr double kInt32Min = -2147483648.0, kInt32Max = 2147483647.0;

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

bool sameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

// "none, even or odd", in the spelling the flags use.
std::string choiceList(const Setting& s) {
    std::string out;
    for (std::size_t i = 0; i < s.choices.size(); ++i) {
        if (i > 0) out += i + 1 == s.choices.size() ? " or " : ", ";
        for (const char* c = s.choices[i]; *c; ++c)
            out += *c >= 'A' && *c <= 'Z' ? char(*c - 'A' + 'a') : *c;
    }
    return out;
}

}  // namespace

const std::vector<Setting>& settingKeys() {
    static const std::vector<Setting> keys = {
        {"remapNotes", T::boolean, "true", A::atOnce, "rewrite drum pad notes to targetNote"},
        {"targetNote", T::integer, "38", A::atOnce, "the drum note pads are remapped to", 0, 127},
        {"forceDrumChannel", T::boolean, "false", A::atOnce,
         "rewritten notes go to MIDI channel 10"},
        {"dropClock", T::boolean, "true", A::atOnce, "drop MIDI clock (0xF8)"},
        {"dropSensing", T::boolean, "true", A::atOnce, "drop active sensing (0xFE)"},
        {"blockEcho", T::boolean, "true", A::atOnce, "drop messages that come straight back"},
        {"paceSysex", T::boolean, "true", A::atOnce,
         "pace system-exclusive data toward the board at MIDI DIN speed"},
        {"holdDTR", T::boolean, "false", A::atOnce, "do not reset the board when the port opens"},
        {"reconnects", T::boolean, "true", A::atOnce, "reopen the device when it returns"},
        // The window's slider spans this range.
        {"velocityCurve", T::real, "1.0", A::atOnce, "exponent of the velocity curve", 0.4, 1.8},
        // MIDI unique IDs are signed 32-bit values; 0 is none.
        {"hardwareOutID", T::integer, "0", A::atOnce,
         "ID of a hardware MIDI destination that also receives the traffic (see --list-midi); 0 "
         "means none",
         kInt32Min, kInt32Max},
        {"hardwareInID", T::integer, "0", A::atOnce,
         "ID of a hardware MIDI source that is also read (see --list-midi); 0 means none",
         kInt32Min, kInt32Max},
        {"learnedRoutes", T::routes, "[]", A::atOnce, "the learned routes"},
        {"port", T::device, "", A::connection, "the serial device --headless opens"},
        // The serial port sets exact rates through a 32-bit field.
        {"baud",
         T::integer,
         "115200",
         A::connection,
         "line speed",
         1,
         kInt32Max,
         {},
         "31250 38400 57600 115200 250000 500000 1000000"},
        {"dataBits", T::integer, "8", A::connection, "data bits", 5, 8},
        {"parity", T::choice, "None", A::connection, "parity", 0, 0, {"None", "Even", "Odd"}},
        {"twoStop", T::boolean, "false", A::connection, "two stop bits"},
        {"hwFlow", T::boolean, "false", A::connection, "RTS/CTS flow control"},
        {"openAtLogin", T::boolean, "false", A::windowOnly, "the desktop program starts at login"},
        {"startOnOpen", T::boolean, "false", A::programStart,
         "the desktop program starts bridging from the saved settings when it opens"},
        {"midi",
         T::choice,
         "alsa",
         A::programStart,
         "the MIDI system (--midi overrides it for one run)",
         0,
         0,
         {"alsa", "jack"}},
        {"name", T::instanceName, kDefaultInstanceName, A::programStart,
         "the instance name: MIDI ports \"NAME Out\" and \"NAME In\" (--name overrides it)"},
    };
    return keys;
}

const Setting* findSetting(std::string_view name) {
    for (const auto& s : settingKeys()) {
        if (name == s.name) return &s;
    }
    return nullptr;
}

std::string acceptedText(const Setting& s) {
    switch (s.type) {
        case T::boolean:
            return "true or false";
        case T::integer:
            return "a whole number from " + number(s.min) + " to " + number(s.max);
        case T::real:
            return "a number from " + number(s.min) + " to " + number(s.max);
        case T::choice:
            return choiceList(s);
        case T::device:
            return "a device path, or nothing for none";
        case T::instanceName:
            return "a name of 1 to 40 printable ASCII characters, without '/' or ':'";
        case T::routes:
            return "a JSON list of routes";
    }
    return "";
}

SettingParse parseSetting(const Setting& s, std::string_view text) {
    std::optional<SettingValue> value;
    switch (s.type) {
        case T::boolean:
            if (text == "true" || text == "false") value = text == "true";
            break;
        case T::integer:
            if (auto v = parseInteger(text); v && *v >= s.min && *v <= s.max) value = *v;
            break;
        case T::real:
            if (auto v = parseReal(text); v && *v >= s.min && *v <= s.max) value = *v;
            break;
        case T::choice:
            for (const char* c : s.choices) {
                if (sameLetters(text, c)) value = std::string(c);
            }
            break;
        case T::device:
            value = std::string(text);
            break;
        case T::instanceName:
            if (auto problem = instanceNameProblem(text))
                return {std::nullopt, "cannot be \"" + std::string(text) + "\": " + *problem};
            value = std::string(text);
            break;
        case T::routes:
            // Not echoed when refused: a route list can be long.
            if (decodeRoutes(text)) return {std::string(text), {}};
            return {std::nullopt, "takes " + acceptedText(s)};
    }
    if (value) return {std::move(value), {}};
    return {std::nullopt, "takes " + acceptedText(s) + ", not \"" + std::string(text) + "\""};
}

SettingValue defaultValue(const Setting& s) {
    return parseSetting(s, s.defaultText).value.value_or(std::string(s.defaultText));
}

void storeSetting(Preferences& prefs, const Setting& s, const SettingValue& value) {
    if (const auto* b = std::get_if<bool>(&value)) {
        prefs.setBoolean(s.name, *b);
    } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
        prefs.setInteger(s.name, *i);
    } else if (const auto* d = std::get_if<double>(&value)) {
        prefs.setReal(s.name, *d);
    } else if (s.type == T::routes) {
        prefs.setData(s.name, std::get<std::string>(value));
    } else {
        prefs.setText(s.name, std::get<std::string>(value));
    }
}

namespace {

// The stored value when it has the setting's type, else the table's default.
template <typename T>
T storedOrDefault(const Preferences& prefs, const char* key) {
    std::optional<T> stored;
    if constexpr (std::is_same_v<T, bool>) {
        stored = prefs.boolean(key);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        stored = prefs.integer(key);
    } else {
        stored = prefs.text(key);
    }
    return stored ? *stored : std::get<T>(defaultValue(*findSetting(key)));
}

}  // namespace

LineSettings storedLineSettings(const Preferences& prefs) {
    return {storedOrDefault<std::int64_t>(prefs, "baud"),
            storedOrDefault<std::int64_t>(prefs, "dataBits"),
            parityFromRaw(storedOrDefault<std::string>(prefs, "parity")).value_or(Parity::none),
            storedOrDefault<bool>(prefs, "twoStop"), storedOrDefault<bool>(prefs, "hwFlow")};
}

}  // namespace tessaryn
