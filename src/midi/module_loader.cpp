#include "midi/module_loader.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace tessaryn {

void* openModule(const std::string& file, std::string& problems) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    for (const auto& candidate : {exe / file, exe / "../lib/tessaryn" / file}) {
        if (void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return module;
        problems += std::string("\n  ") + ::dlerror();
    }
    return nullptr;
}

}  // namespace tessaryn
