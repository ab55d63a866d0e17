// The preferences file as another program or a damaged disk may leave it: loading, every typed
// read the program makes, the learned routes, and a merging save over it.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "bridge/preferences.h"
#include "cli/settings_keys.h"
#include "midi/learned_route.h"

using namespace tessaryn;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path dir = "/dev/shm/tessaryn-fuzz-prefs-" + std::to_string(::getpid());
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "preferences.json", std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    Preferences prefs(dir);
    for (const auto& key : settingKeys()) {
        showSetting(prefs, key);
        prefs.boolean(key.name);
        prefs.integer(key.name);
        prefs.real(key.name);
    }
    if (auto routes = prefs.data("learnedRoutes")) {
        if (auto decoded = decodeRoutes(*routes))
            prefs.setData("learnedRoutes", encodeRoutes(*decoded));
    }
    prefs.setInteger("baud", 31250);
    prefs.reload();
    if (prefs.loadProblem().empty() && prefs.integer("baud") != 31250) __builtin_trap();
    return 0;
}
