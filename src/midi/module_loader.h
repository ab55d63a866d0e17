#pragma once

#include <string>

namespace tessaryn {

// Opens one of the program's modules (the window, the JACK backend): beside the running
// executable in a build tree, or in ../lib/tessaryn once installed. Modules are never closed:
// what they create lives until the process ends. Returns null and appends every loader message
// to `problems` when no candidate loads.
void* openModule(const std::string& file, std::string& problems);

}  // namespace tessaryn
