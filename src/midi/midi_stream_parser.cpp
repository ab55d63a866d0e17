#include "midi/midi_stream_parser.h"

namespace tessaryn {

bool MIDIStreamParser::feedStatus(std::uint8_t b) {
    count = 0;
    if (b < 0xF0) {
        status = b;
        needed = (b & 0xE0) == 0xC0 ? 1 : 2;
        return false;
    }
    switch (b) {
        case 0xF0:
            inSysex = true;
            sysex.assign(1, 0xF0);
            status = 0;
            break;
        case 0xF1:
        case 0xF3:
            status = b;
            needed = 1;
            break;
        case 0xF2:
            status = b;
            needed = 2;
            break;
        case 0xF6:
            status = 0;
            return true;
        default:  // 0xF4, 0xF5 undefined; 0xF7 with no SysEx open
            status = 0;
            break;
    }
    return false;
}

void MIDIStreamParser::abandonSysex() {
    sysex.clear();
    sysex.shrink_to_fit();
    inSysex = false;
}

}  // namespace tessaryn
