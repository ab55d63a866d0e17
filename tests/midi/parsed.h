#pragma once

#include "bridge/message_path.h"
#include "midi/handoff.h"

namespace tessaryn::testing {

// The messages in events handed over on another thread, each sender's parsed on its own as the
// engine parses them.
struct Parsed {
    std::mutex m;
    std::condition_variable cv;
    EventParser parser;
    std::vector<Bytes> messages;
    void add(std::span<const MIDIService::Event> events, bool lostBefore) {
        std::lock_guard lock(m);
        parser.feed(events, lostBefore, 0, messages);
        cv.notify_all();
    }
    // Waits until `count` messages are in.
    std::vector<Bytes> wait(std::size_t count, std::chrono::milliseconds timeout = 20s) {
        std::unique_lock lock(m);
        cv.wait_for(lock, timeout, [&] { return messages.size() >= count; });
        return messages;
    }
};

}  // namespace tessaryn::testing
