// The JACK backend as a module that the program loads only when JACK is chosen, so that the
// package without it never depends on libjack.
#include "midi/jack/jack_midi.h"

extern "C" __attribute__((visibility("default"))) void tessaryn_jack_midi_factory(
    std::function<void(const std::string&)>* report, tessaryn::MIDIService::Factory* factory) {
    *factory = tessaryn::jackMIDIFactory(std::move(*report));
}
