#include "cli/settings_keys.h"

#include <cstdio>
#include <sstream>

namespace tessaryn {

using T = Setting::Type;

std::optional<std::string> showSetting(const Preferences& prefs, const Setting& s) {
    switch (s.type) {
        case T::boolean:
            if (auto v = prefs.boolean(s.name)) return *v ? "true" : "false";
            break;
        case T::integer:
            if (auto v = prefs.integer(s.name)) return std::to_string(*v);
            break;
        case T::real:
            if (auto v = prefs.real(s.name)) {
                char buf[32];
                std::snprintf(buf, sizeof buf, "%g", *v);
                std::string text = buf;
                // Whole numbers as the defaults show them: 1.0, not 1.
                if (text.find_first_of(".eni") == std::string::npos) text += ".0";
                return text;
            }
            break;
        case T::routes:
            return prefs.data(s.name);
        case T::choice:
        case T::device:
        case T::instanceName:
            return prefs.text(s.name);
    }
    return std::nullopt;
}

std::vector<std::string> completionWords(const Setting& s) {
    std::vector<std::string> words;
    switch (s.type) {
        case T::boolean:
            return {"true", "false"};
        case T::choice:
            // The flags' spelling; any case is accepted.
            for (std::string c : s.choices) {
                for (char& ch : c) ch = ch >= 'A' && ch <= 'Z' ? char(ch - 'A' + 'a') : ch;
                words.push_back(c);
            }
            return words;
        case T::integer:
            if (s.max - s.min < 10) {
                for (auto v = static_cast<std::int64_t>(s.min); v <= s.max; ++v)
                    words.push_back(std::to_string(v));
                return words;
            }
            break;
        default:
            break;
    }
    std::istringstream in(s.suggestions);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

const char* appliesText(Setting::Applies applies) {
    switch (applies) {
        case Setting::Applies::atOnce:
            return "taken up at once, by a running bridge too";
        case Setting::Applies::connection:
            return "read each time a connection starts from the saved settings";
        case Setting::Applies::programStart:
            return "read when the program starts";
        case Setting::Applies::windowOnly:
            return "kept by the desktop program";
    }
    return "";
}

}  // namespace tessaryn
