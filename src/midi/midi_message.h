#pragma once

#include <cstdint>
#include <vector>

namespace tessaryn {

// One complete MIDI message, status byte first; a SysEx message runs from 0xF0 to 0xF7.
using MIDIMessage = std::vector<std::uint8_t>;

}  // namespace tessaryn
