#pragma once

#include <string>

#include "midi/midi_service.h"

namespace tessaryn {

// The ALSA sequencer: client "<name>", virtual ports "<name> Out" and "<name> In" that every
// program lists, private ports for the one hardware destination and source. Throws
// MIDIServiceError when the sequencer cannot be opened.
MIDIService::Factory alsaMIDIFactory();

}  // namespace tessaryn
