// The command line: arguments separated by NUL bytes, through the program's own option parser
// and, when it accepts them, the --set values into a preferences folder.
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

// The parser lives beside main(); this target compiles that file with main() renamed.
#define main tessaryn_main
#include "cli/main.cpp"
#undef main

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"tessaryn"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(std::move(current));
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) args.push_back(std::move(current));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    optind = 0;  // getopt starts afresh
    Options o;
    if (parse(static_cast<int>(args.size()), argv.data(), o) || o.sets.empty()) return 0;
    static const std::string dir = "/dev/shm/tessaryn-fuzz-cli-" + std::to_string(::getpid());
    Preferences prefs(dir);
    {
        Preferences::Batch batch(prefs);
        for (const auto& [key, value] : o.sets) storeSetting(prefs, *key, value);
    }
    for (const auto& [key, value] : o.sets) {
        if (!showSetting(prefs, *key)) __builtin_trap();  // a checked value always reads back
    }
    return 0;
}
