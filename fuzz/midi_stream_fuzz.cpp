// Raw bytes from a board or another MIDI program: the stream parser, then what the bridge does
// with each message (routes, the note rewriter, monitor text).
#include <cstdint>

#include "midi/learned_route.h"
#include "midi/midi_stream_parser.h"
#include "midi/monitor_text.h"
#include "midi/note_rewriter.h"

using namespace tessaryn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<LearnedRoute> routes = {{Uuid::random(), true, 7, 20},
                                                     {Uuid::random(), false, 60, 38}};
    MIDIStreamParser parser;
    NoteRewriter rewriter;
    rewriter.forceChannel = size % 2 ? std::optional<std::uint8_t>(9) : std::nullopt;
    for (std::size_t i = 0; i < size; ++i) {
        parser.feed(data[i], [&](MIDIStreamParser::Bytes b) {
            const MIDIMessage m(b.begin(), b.end());
            if (m.empty()) __builtin_trap();
            auto routed = applyLearned(m, routes);
            const MIDIMessage sent = routed.matched ? routed.message : rewriter.rewrite(m);
            monitorText(sent, true);
            monitorText(m, false);
            drumHitLine(m, sent, true);
        });
    }
    for (const auto& off : rewriter.releaseAll()) {
        if (off.size() != 3 || (off[0] & 0xF0) != 0x80) __builtin_trap();
    }
    return 0;
}
