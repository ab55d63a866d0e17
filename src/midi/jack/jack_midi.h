#pragma once

#include <functional>
#include <string>

#include "midi/midi_service.h"

namespace tessaryn {

// JACK MIDI (jackd2, or PipeWire's JACK): client "<name>", ports "<name> Out" and "<name> In"
// that every JACK program lists, and, only while a hardware destination or source is chosen,
// "<name> Hardware Out" / "<name> Hardware In", linked to it. Never starts a server:
// throws MIDIServiceError saying how to start one when none runs.
//
// `report` receives, once per episode and on a non-realtime thread, what the backend had to
// give up (a full ring, the server going away); it may be empty.
MIDIService::Factory jackMIDIFactory(std::function<void(const std::string&)> report = {});

}  // namespace tessaryn
