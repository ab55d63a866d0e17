#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/preferences.h"

namespace tessaryn {

// The stored settings, their types and defaults, as the command line shows and edits them.
struct SettingKey {
    enum class Type { boolean, integer, real, text, parity, routes, midi };
    const char* name;
    Type type;
    const char* defaultText;
    const char* help;  // one line for the manual page
};

const std::vector<SettingKey>& settingKeys();
const SettingKey* findSettingKey(std::string_view name);

// Stores `value` typed by the key; returns an error text and writes nothing when it does not
// fit.
std::optional<std::string> checkSetting(const SettingKey& key, std::string_view value);
void storeSetting(Preferences& prefs, const SettingKey& key, std::string_view value);
// The current value as text, or none when the key is absent or of another type.
std::optional<std::string> showSetting(const Preferences& prefs, const SettingKey& key);

}  // namespace tessaryn
