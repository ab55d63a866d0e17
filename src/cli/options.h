#pragma once

#include <string>
#include <vector>

namespace tessaryn {

// getopt_long codes of the options that have no letter code.
enum OptionCode {
    kPort = 256,
    kBaud,
    kDataBits,
    kParity,
    kTwoStop,
    kNoTwoStop,
    kHwFlow,
    kNoHwFlow,
    kMidi,
    kName,
    kConfigDir,
    kSet,
    kDevDir,
    kMinimized
};

// One table feeds the parser, --help, the manual page and the shell completion, so none of them
// can name an option the others lack.
struct CommandOption {
    const char* name;      // without the leading dashes
    const char* argument;  // the placeholder shown for its value; nullptr when it takes none
    const char* help;
    int code;         // what getopt_long returns for it
    char letter = 0;  // its one-letter alias (-h), if any
};

const std::vector<CommandOption>& commandOptions();

// The --help text, wrapped to 80 columns.
std::string usageText();

}  // namespace tessaryn
