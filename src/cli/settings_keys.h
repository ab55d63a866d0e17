#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bridge/preferences.h"
#include "bridge/settings_table.h"

namespace tessaryn {

// The stored value as --settings shows it, or none when the key is absent or of another type.
std::optional<std::string> showSetting(const Preferences& prefs, const Setting& setting);

// What the shell offers after KEY= (and after the flag that overrides KEY); the device list is
// the program's own --list-ports, so it is not here.
std::vector<std::string> completionWords(const Setting& setting);

// When a change is taken up, for the manual page.
const char* appliesText(Setting::Applies applies);

}  // namespace tessaryn
