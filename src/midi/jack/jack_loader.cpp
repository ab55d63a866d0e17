#include "midi/jack/jack_loader.h"

#include <dlfcn.h>

#include "midi/module_loader.h"

namespace tessaryn {

std::variant<MIDIService::Factory, std::string> loadJackMIDI(
    std::function<void(const std::string&)> report) {
    std::string problems;
    void* module = openModule("tessaryn-jack.so", problems);
    if (!module)
        return "the JACK backend is not installed (install the package tessaryn-jack):" + problems;
    using Entry = void (*)(std::function<void(const std::string&)>*, MIDIService::Factory*);
    auto entry = reinterpret_cast<Entry>(::dlsym(module, "tessaryn_jack_midi_factory"));
    if (!entry) return "the JACK module has no entry point";
    MIDIService::Factory factory;
    entry(&report, &factory);
    return factory;
}

}  // namespace tessaryn
