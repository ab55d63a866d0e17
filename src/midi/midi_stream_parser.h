#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessaryn {

// Turns a raw MIDI byte stream, cut into chunks anywhere, into complete messages.
class MIDIStreamParser {
  public:
    // A SysEx message longer than this (0xF0 and 0xF7 included) is abandoned, so that a board
    // streaming data bytes after 0xF0 cannot exhaust memory.
    static constexpr std::size_t kMaxSysex = std::size_t{1} << 20;

    using Bytes = std::span<const std::uint8_t>;

    // Feeds one byte; calls onMessage(Bytes) at most once, before returning, with a complete
    // message. The bytes are only valid during the call: copy what you keep.
    template <typename OnMessage>
    void feed(std::uint8_t b, OnMessage&& onMessage) {
        if (b >= 0xF8) {
            onMessage(Bytes(&b, 1));
            return;
        }
        if (inSysex) {
            if (b == 0xF7) {
                sysex.push_back(0xF7);
                inSysex = false;
                onMessage(Bytes(sysex));
                sysex.clear();
                return;
            }
            if (b < 0x80) {
                if (sysex.size() + 1 >= kMaxSysex) {
                    // No room left for the closing 0xF7: drop the message and, since status
                    // is 0, every data byte up to the next status byte.
                    abandonSysex();
                } else {
                    sysex.push_back(b);
                }
                return;
            }
            abandonSysex();
        }
        if (b < 0x80) {
            feedData(b, onMessage);
            return;
        }
        if (feedStatus(b)) onMessage(Bytes(&b, 1));
    }

    std::uint8_t status = 0;
    // data[0] is kept for the status so a complete message is emitted without copying.
    std::array<std::uint8_t, 3> data{};
    int count = 0;  // data bytes collected so far
    int needed = 0;
    bool inSysex = false;
    std::vector<std::uint8_t> sysex;

  private:
    template <typename OnMessage>
    void feedData(std::uint8_t b, OnMessage& onMessage) {
        if (status == 0) return;
        data[++count] = b;
        if (count < needed) return;
        data[0] = status;
        const int length = count + 1;
        count = 0;
        if (status >= 0xF0) status = 0;
        onMessage(Bytes(data.data(), static_cast<std::size_t>(length)));
    }

    // True when b is a one-byte message to onMessage (tune request).
    bool feedStatus(std::uint8_t b);
    void abandonSysex();
};

}  // namespace tessaryn
