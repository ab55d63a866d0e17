// Until the bridge exists, the program parses hex bytes given on the command line, as a board
// would send them, and prints what the monitor and the drum pad line would show.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "midi/midi_stream_parser.h"
#include "midi/monitor_text.h"
#include "midi/note_rewriter.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s HEXBYTE...   (for example: %s 99 3C 64 F8 89 3C 00)\n",
                     argv[0], argv[0]);
        return 2;
    }
    tessaryn::MIDIStreamParser parser;
    tessaryn::NoteRewriter rewriter;
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(argv[i], &end, 16);
        if (end == argv[i] || *end != '\0' || value > 0xFF) {
            std::fprintf(stderr, "%s: not a hex byte: %s\n", argv[0], argv[i]);
            return 2;
        }
        parser.feed(static_cast<std::uint8_t>(value), [&](tessaryn::MIDIStreamParser::Bytes bytes) {
            const tessaryn::MIDIMessage m(bytes.begin(), bytes.end());
            const tessaryn::MIDIMessage sent = rewriter.rewrite(m);
            if (auto line = tessaryn::monitorText(sent, true)) std::printf("%s\n", line->c_str());
            if (auto hit = tessaryn::drumHitLine(m, sent, rewriter.enabled)) {
                std::printf("    %s\n", hit->c_str());
            }
        });
    }
    return 0;
}
