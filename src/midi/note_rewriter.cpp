#include "midi/note_rewriter.h"

namespace tessaryn {

MIDIMessage NoteRewriter::rewrite(const MIDIMessage& m) {
    if (!enabled || m.size() < 3) return m;
    const std::uint8_t s = m[0];
    const std::uint8_t kind = s >> 4;
    if (kind != 0x8 && kind != 0x9) return m;

    const std::uint8_t inChannel = s & 0x0F;
    std::optional<Sent>& held = held_[inChannel * 128u + (m[1] & 0x7F)];
    const std::uint8_t velocity = m[2];
    MIDIMessage out = m;

    if (kind == 0x9 && velocity != 0) {
        const std::uint8_t channel = forceChannel.value_or(inChannel);
        held = Sent{channel, target};
        out[0] = static_cast<std::uint8_t>(0x90 | channel);
        out[1] = target;
        return out;
    }

    // Note-off, or note-on with velocity 0: keep the message's own kind.
    const std::uint8_t base = kind == 0x9 ? 0x90 : 0x80;
    if (held) {
        out[0] = static_cast<std::uint8_t>(base | held->channel);
        out[1] = held->note;
        held.reset();
        return out;
    }
    out[1] = target;
    if (forceChannel) out[0] = static_cast<std::uint8_t>(base | *forceChannel);
    return out;
}

std::vector<MIDIMessage> NoteRewriter::releaseAll() {
    std::vector<MIDIMessage> offs;
    for (auto& sent : held_) {
        if (!sent) continue;
        offs.push_back({static_cast<std::uint8_t>(0x80 | sent->channel), sent->note, 0x00});
        sent.reset();
    }
    return offs;
}

}  // namespace tessaryn
