#include "midi/note_rewriter.h"

namespace tessaryn {

MIDIMessage NoteRewriter::rewrite(const MIDIMessage& m) {
    if (!enabled || m.size() < 3) return m;
    const std::uint8_t s = m[0];
    const std::uint8_t kind = s >> 4;
    if (kind != 0x8 && kind != 0x9) return m;

    const Key key{static_cast<std::uint8_t>(s & 0x0F), m[1]};
    const std::uint8_t velocity = m[2];
    MIDIMessage out = m;

    if (kind == 0x9 && velocity != 0) {
        const std::uint8_t channel = forceChannel.value_or(key.channel);
        held[key] = Sent{channel, target};
        out[0] = static_cast<std::uint8_t>(0x90 | channel);
        out[1] = target;
        return out;
    }

    // Note-off, or note-on with velocity 0: keep the message's own kind.
    const std::uint8_t base = kind == 0x9 ? 0x90 : 0x80;
    if (auto it = held.find(key); it != held.end()) {
        out[0] = static_cast<std::uint8_t>(base | it->second.channel);
        out[1] = it->second.note;
        held.erase(it);
        return out;
    }
    out[1] = target;
    if (forceChannel) out[0] = static_cast<std::uint8_t>(base | *forceChannel);
    return out;
}

std::vector<MIDIMessage> NoteRewriter::releaseAll() {
    std::vector<MIDIMessage> offs;
    offs.reserve(held.size());
    for (const auto& [key, sent] : held) {
        offs.push_back({static_cast<std::uint8_t>(0x80 | sent.channel), sent.note, 0x00});
    }
    held.clear();
    return offs;
}

}  // namespace tessaryn
