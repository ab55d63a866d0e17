#pragma once

#include <functional>
#include <string>
#include <variant>

#include "midi/midi_service.h"

namespace tessaryn {

// The JACK backend is a module of its own (package tessaryn-jack), so that an install that never
// uses JACK never needs libjack. Loads it and returns jackMIDIFactory(report), or the message
// saying what is missing and which package provides it.
std::variant<MIDIService::Factory, std::string> loadJackMIDI(
    std::function<void(const std::string&)> report);

}  // namespace tessaryn
