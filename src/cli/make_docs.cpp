// Build tool: fills the manual page and the bash completion from the option and settings tables,
// so neither can drift from --help. Usage: tessaryn-docs TEMPLATE OUTPUT
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/options.h"
#include "cli/settings_keys.h"

using namespace tessaryn;

namespace {

// roff treats backslashes, hyphens and a leading dot or quote specially.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

std::string optionsSection() {
    std::string out;
    for (const auto& o : commandOptions()) {
        out += ".TP\n";
        if (o.letter) out += std::string("\\fB\\-") + o.letter + "\\fR, ";
        out += "\\fB\\-\\-" + roff(o.name) + "\\fR";
        if (o.argument) out += std::string(" \\fI") + roff(o.argument) + "\\fR";
        out += "\n" + roff(o.help) + "\n";
    }
    return out;
}

std::string settingsSection() {
    std::string out;
    for (const auto& k : settingKeys()) {
        out += ".TP\n.B " + roff(k.name) + "\n" + roff(k.help + ("; " + acceptedText(k))) +
               " (default: " + (*k.defaultText ? roff(k.defaultText) : "empty") + "; " +
               appliesText(k.applies) + ")\n";
    }
    return out;
}

std::string optionWords() {
    std::string out;
    for (const auto& o : commandOptions())
        out += (out.empty() ? "--" : " --") + std::string(o.name);
    return out;
}

std::string settingWords() {
    std::string out;
    for (const auto& k : settingKeys()) out += (out.empty() ? "" : " ") + std::string(k.name) + "=";
    return out;
}

// One case per setting with values to offer, for the completion's value function.
std::string settingValues() {
    std::string out;
    for (const auto& k : settingKeys()) {
        const auto words = completionWords(k);
        if (words.empty()) continue;
        out += "        " + std::string(k.name) + ") words=\"";
        for (std::size_t i = 0; i < words.size(); ++i) out += (i ? " " : "") + words[i];
        out += "\" ;;\n";
    }
    return out;
}

void replace(std::string& text, const std::string& placeholder, const std::string& value) {
    for (auto at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tessaryn-docs TEMPLATE OUTPUT\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "tessaryn-docs: cannot read %s\n", argv[1]);
        return 1;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    replace(text, "{{OPTIONS}}", optionsSection());
    replace(text, "{{SETTINGS}}", settingsSection());
    replace(text, "{{OPTION_WORDS}}", optionWords());
    replace(text, "{{SETTING_WORDS}}", settingWords());
    replace(text, "{{SETTING_VALUES}}", settingValues());
    std::ofstream out(argv[2]);
    out << text;
    if (!out.flush()) {
        std::fprintf(stderr, "tessaryn-docs: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
