#pragma once

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "midi/jack/byte_ring.h"
#include "midi/midi_service.h"

namespace tessaryn {

// The realtime side of the JACK backend: the two rings and what the process callback does with
// them. The callback calls nothing in libjack beyond the cycle times, the port buffers and the
// MIDI event functions; it never allocates, locks or blocks.
//
// Hand-offs, each with one producer and one consumer:
// - toward JACK: `push` is the producer (callers take turns under a lock of their own), the
//   process callback the consumer.
// - from JACK: the process callback produces, `drain` (the receive thread) consumes.
// - `wake` (an eventfd): the callback posts with a non-blocking write when input arrived.
class JackCycle {
  public:
    enum class Target : std::uint8_t { virtualOut, hardwareOut };
    // The ports the callback serves; hardwareOut and hardwareIn may be null.
    struct Ports {
        jack_port_t *out = nullptr, *in = nullptr, *hardwareOut = nullptr, *hardwareIn = nullptr;
    };

    explicit JackCycle(int wake) : wake_(wake) {}

    // Producer side. `m` leaves one period after `stamp` (jack_get_time at the hand-off), at the
    // same place in its period. False when it does not fit: it is dropped whole.
    bool push(Target target, std::span<const std::uint8_t> m, jack_time_t stamp, bool newRoute);

    // The process callback of `client`. `hardwareOutLinked`: "Hardware Out" has a link now.
    void process(jack_client_t* client, const Ports& ports, jack_nframes_t frames,
                 bool hardwareOutLinked);

    // Consumer side: calls `take(events, lostBefore)` for each run of events received together,
    // a new run after each hole.
    template <typename Take>
    void drain(Take take);
    // The callback has dropped input since the last call.
    bool overflowed() { return inOverflow_.exchange(false); }
    std::uint64_t inputLost() const { return inputLost_.load(); }

    // Forgets what waits toward JACK and what the callback was writing. Only while no callback
    // runs (between clients) and no producer pushes.
    void forgetOutput() {
        out_.skip(out_.readSpace());
        pendingLeft_ = 0;
        routeWaitSince_ = 0;
    }

  private:
    // One received event: this header, then `length` bytes.
    struct InHeader {
        std::uint32_t length;
        std::uint16_t source;  // 1: "<name> In", 2: "<name> Hardware In"
        bool lostBefore;       // events were dropped just before this one
    };
    // One queued outgoing message: this header, then `length` bytes.
    struct OutHeader {
        std::uint32_t length;
        Target target;
        bool newRoute;  // the first message since "<name> Hardware Out" was connected
        jack_time_t stamp;
    };

    void receiveEvents(void* a, void* b);
    void sendEvents(void* const outs[2], jack_nframes_t frames, jack_time_t cycleStart,
                    jack_time_t cycleNext, bool hardwareOutLinked);
    void post();

    int wake_;
    // Toward JACK, sized for the largest message the device parser makes (a 1 MiB SysEx) with
    // room beside it, since a message that does not fit is dropped whole. From JACK, a period's
    // events at a time: the receive thread empties it every period.
    ByteRing out_{1 << 21}, in_{1 << 18};
    std::atomic<bool> inOverflow_{false};
    std::atomic<std::uint64_t> inputLost_{0};

    // Process callback only.
    bool inLost_ = false;          // an event was dropped and nothing has said so yet
    std::size_t pendingLeft_ = 0;  // of the message being written out
    int pendingTarget_ = 0;
    bool pendingSysex_ = false;
    jack_time_t routeWaitSince_ = 0;  // when the message at the head began to wait for its route

    // drain only, kept between calls so that a wake-up allocates nothing.
    std::vector<std::uint8_t> drained_;
    std::vector<InHeader> drainedHeads_;
    std::vector<MIDIService::Event> drainedEvents_;
};

template <typename Take>
void JackCycle::drain(Take take) {
    auto& bytes = drained_;
    auto& heads = drainedHeads_;
    auto& events = drainedEvents_;
    auto handOver = [&](bool lostBefore) {
        events.clear();
        std::size_t at = 0;
        for (const auto& h : heads) {
            events.push_back({h.source, std::span(bytes).subspan(at, h.length)});
            at += h.length;
        }
        if (!events.empty() || lostBefore)
            take(std::span<const MIDIService::Event>(events), lostBefore);
        bytes.clear();
        heads.clear();
    };
    bool lostBefore = false;
    for (;;) {
        InHeader h;
        const std::size_t ready = in_.readSpace();
        if (ready < sizeof h) break;
        in_.peek(&h, sizeof h);
        if (ready < sizeof h + h.length) break;
        if (h.lostBefore) {
            // What came before the hole goes on as it was; what follows is told.
            handOver(lostBefore);
            lostBefore = true;
        }
        in_.skip(sizeof h);
        const std::size_t at = bytes.size();
        bytes.resize(at + h.length);
        in_.read(bytes.data() + at, h.length);
        heads.push_back(h);
    }
    handOver(lostBefore);
}

}  // namespace tessaryn
