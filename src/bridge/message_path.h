#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <queue>
#include <span>
#include <unordered_map>
#include <vector>

#include "midi/learned_route.h"
#include "midi/midi_message.h"
#include "midi/midi_service.h"
#include "midi/midi_stream_parser.h"
#include "midi/note_rewriter.h"

namespace tessaryn {

// The two message paths between the device and MIDI, without threads, clocks or I/O: the clock
// and active-sensing filters, the echo guard, learned routes, the note rewriter and the velocity
// curve. The caller passes the time (monotonic seconds) and makes the calls one at a time.
class MessagePath {
  public:
    // The settings both paths read.
    struct Traffic {
        bool dropClock = true;
        bool dropSensing = true;
        bool blockEcho = true;
        bool paceSysex = true;
        double curve = 1.0;
        std::vector<LearnedRoute> routes;
        std::int32_t hardwareOutID = 0;
    };
    struct Forwarded {
        MIDIMessage message;
        std::size_t origin;  // index of the message it was made from
    };

    // Device to MIDI: what to send, in order, in `reuse` (emptied first): a caller that passes
    // the last result back in allocates nothing once it is large enough.
    std::vector<Forwarded> fromDevice(std::span<const MIDIMessage> messages, double now,
                                      std::vector<Forwarded> reuse = {});
    // MIDI to the device: what to write, in order, in `messages` itself.
    std::vector<MIDIMessage> fromMIDI(std::vector<MIDIMessage> messages, double now);

    Traffic traffic;
    NoteRewriter rewriter;

  private:
    // Messages sent one way until their echo window closes, to recognise them coming straight
    // back. Adding, looking up and forgetting one costs the same however many there are: a
    // flood both ways keeps thousands.
    class Recent {
      public:
        void add(const MIDIMessage& m, double expiry);
        bool holds(const MIDIMessage& m) const { return live_.contains(m); }
        void forgetUntil(double now);

      private:
        struct Hash {
            std::size_t operator()(const MIDIMessage& m) const noexcept;
        };
        using Live = std::unordered_map<MIDIMessage, int, Hash>;
        Live live_;  // how many entries of each
        // Entries of messages whose windows closed, kept for the next messages so that adding
        // one allocates nothing: as many as live_ holds, and kKeptIdle once traffic stops.
        static constexpr std::size_t kKeptIdle = 1024;
        std::vector<Live::node_type> spare_;
        using Entry = std::pair<double, const MIDIMessage*>;  // expiry, key in live_
        std::priority_queue<Entry, std::vector<Entry>, std::greater<>> byExpiry_;
    };
    Recent recentOut_;   // sent to MIDI
    Recent recentWire_;  // written to the device
};

// The messages in events from the MIDI system, each sender's parsed on its own: a SysEx goes on
// only within its sender, so another program's message in between neither cuts it nor is
// taken for its data, and running status never carries over from one event to the next. A
// SysEx is only ever emitted whole, so the device never sees a cut one.
class EventParser {
  public:
    // A sender silent this long in the middle of a SysEx has given up on it.
    static constexpr double kSysexPatience = 10.0;

    // Appends the complete messages in `events` to `out`. After a loss (`lostBefore`) every
    // SysEx in progress has a hole and is dropped.
    void feed(std::span<const MIDIService::Event> events, bool lostBefore, double now,
              std::vector<MIDIMessage>& out);

  private:
    struct Pending {
        MIDIStreamParser parser;
        double lastFed = 0;
    };
    std::map<std::uint32_t, Pending> pending_;
};

// Velocity after the curve: 127 × (v/127)^curve rounded, kept within 1…127; unchanged when the
// curve is within 0.04 of 1, or negative or not finite.
std::uint8_t curvedVelocity(std::uint8_t v, double curve);

}  // namespace tessaryn
