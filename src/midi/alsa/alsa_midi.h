#pragma once

#include <string>

#include "midi/midi_service.h"

namespace tessaryn {

// The ALSA sequencer: client "<name>", virtual ports "<name> Out" and "<name> In" that every
// program lists, private ports for the one hardware destination and source. Throws
// MIDIServiceError when the sequencer cannot be opened.
MIDIService::Factory alsaMIDIFactory();

// What to do when /dev/snd/seq is absent: load snd-seq when this kernel (`release`, on
// `machine`) has the module, else boot a kernel that has it.
std::string sequencerMissingHint(const std::string& release, const std::string& machine,
                                 bool moduleAvailable);

}  // namespace tessaryn
