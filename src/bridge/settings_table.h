#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bridge/preferences.h"
#include "serial/serial_types.h"

namespace tessaryn {

// Every stored setting in one place: its key, type, default, the values it accepts and when a
// change is taken up. The command line, its manual page and its completion are built from it;
// the engine and the window can take their defaults from it instead of repeating them.
struct Setting {
    enum class Type {
        boolean,
        integer,       // a whole number within [min, max]
        real,          // a finite number within [min, max]
        choice,        // one of `choices`, in any letter case; stored as spelled there
        device,        // a device path; empty means none chosen
        instanceName,  // a name instanceNameProblem accepts
        routes,        // a JSON list of learned routes, stored as data
    };
    // When a change in the file is read.
    enum class Applies { atOnce, connection, programStart, windowOnly };

    const char* name;
    Type type;
    const char* defaultText;  // spelled as --set takes it
    Applies applies;
    const char* help;  // one line for the manual page
    double min = 0, max = 0;
    std::vector<const char*> choices = {};
    // Values worth offering where the range is too wide to list, space separated.
    const char* suggestions = "";
};

using SettingValue = std::variant<bool, std::int64_t, double, std::string>;

// A value taken from text, or why it was refused ("takes ..., not ...").
struct SettingParse {
    std::optional<SettingValue> value;
    std::string problem;
};

const std::vector<Setting>& settingKeys();
const Setting* findSetting(std::string_view name);

SettingParse parseSetting(const Setting& setting, std::string_view text);
// What the setting takes, as a refusal says it: "a whole number from 5 to 8".
std::string acceptedText(const Setting& setting);
// The default as a typed value (the table's defaults all parse; a test holds that).
SettingValue defaultValue(const Setting& setting);
void storeSetting(Preferences& prefs, const Setting& setting, const SettingValue& value);

// How the serial line is set up, whichever device it is on: 8N1 without flow control unless
// said otherwise.
struct LineSettings {
    std::int64_t baud = 0;
    std::int64_t dataBits = 8;
    Parity parity = Parity::none;
    bool twoStopBits = false;
    bool hardwareFlow = false;
};
// The line as stored, the table's defaults where a value is missing or of another type.
LineSettings storedLineSettings(const Preferences& prefs);

}  // namespace tessaryn
