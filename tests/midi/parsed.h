#pragma once

#include "bridge/message_path.h"
#include "midi/handoff.h"

namespace tessaryn::testing {

// The messages in events handed over on another thread, each sender's parsed on its own as the
// engine parses them.
struct Parsed : Shared {
    EventParser parser;
    std::vector<Bytes> messages;
    void add(std::span<const MIDIService::Event> events, bool lostBefore) {
        std::vector<MIDIMessage> out;  // the parser is fed by the service's one thread
        parser.feed(events, lostBefore, 0, out);
        change([&] {
            for (const auto& m : out) messages.emplace_back(m.begin(), m.end());
        });
    }
    // Waits until `count` messages are in.
    std::vector<Bytes> wait(std::size_t count, std::chrono::milliseconds timeout = 20s) {
        waitUntil([&] { return messages.size() >= count; }, timeout);
        std::lock_guard lock(m);
        return messages;
    }
};

}  // namespace tessaryn::testing
