#include "midi/jack/jack_process.h"

#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>

namespace tessaryn {

namespace {

// A connection takes effect at the start of a coming period, on a loaded machine many periods
// later; the first message for a newly connected destination waits up to this long for it.
constexpr jack_time_t kRouteWaitMicros = 1000000;
// What an event costs in a PipeWire buffer beyond its data.
constexpr std::size_t kEventCost = 16;

}  // namespace

bool JackCycle::push(Target target, std::span<const std::uint8_t> m, jack_time_t stamp,
                     bool newRoute) {
    if (out_.writeSpace() < sizeof(OutHeader) + m.size()) return false;
    const OutHeader h{static_cast<std::uint32_t>(m.size()), target, newRoute, stamp};
    out_.write(&h, sizeof h);
    out_.write(m.data(), m.size());
    return true;
}

void JackCycle::post() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

void JackCycle::process(jack_client_t* client, const Ports& ports, jack_nframes_t frames,
                        bool hardwareOutLinked) {
    receiveEvents(jack_port_get_buffer(ports.in, frames),
                  ports.hardwareIn ? jack_port_get_buffer(ports.hardwareIn, frames) : nullptr);
    void* outs[2] = {jack_port_get_buffer(ports.out, frames),
                     ports.hardwareOut ? jack_port_get_buffer(ports.hardwareOut, frames) : nullptr};
    for (void* b : outs)
        if (b) jack_midi_clear_buffer(b);
    jack_nframes_t cycleFrame = 0;
    jack_time_t start = 0, next = 0;
    float periodMicros = 0;
    if (jack_get_cycle_times(client, &cycleFrame, &start, &next, &periodMicros) != 0)
        start = next = 0;
    sendEvents(outs, frames, start, next, hardwareOutLinked && outs[1]);
}

// Copies this period's input events of both ports into in_, in time order, each whole or not at
// all; the first event after a drop carries the news.
void JackCycle::receiveEvents(void* a, void* b) {
    const std::uint32_t na = jack_midi_get_event_count(a),
                        nb = b ? jack_midi_get_event_count(b) : 0;
    std::uint32_t i = 0, j = 0;
    bool any = false;
    jack_midi_event_t ea{}, eb{};
    bool haveA = i < na && jack_midi_event_get(&ea, a, i) == 0;
    bool haveB = j < nb && jack_midi_event_get(&eb, b, j) == 0;
    while (haveA || haveB) {
        const bool takeA = haveA && (!haveB || ea.time <= eb.time);
        const jack_midi_event_t& e = takeA ? ea : eb;
        if (e.size > 0) {
            const InHeader h{static_cast<std::uint32_t>(e.size),
                             static_cast<std::uint16_t>(takeA ? 1 : 2), inLost_};
            if (in_.writeSpace() >= sizeof h + e.size) {
                in_.write(&h, sizeof h);
                in_.write(e.buffer, e.size);
                inLost_ = false;
            } else {
                inLost_ = true;
                inOverflow_ = true;
                ++inputLost_;
            }
            any = true;
        }
        if (takeA) {
            haveA = ++i < na && jack_midi_event_get(&ea, a, i) == 0;
        } else {
            haveB = ++j < nb && jack_midi_event_get(&eb, b, j) == 0;
        }
    }
    if (any) post();
}

// Moves queued messages into the output buffers, in order, while they fit, each one period after
// its hand-off: the latency is one period whenever the message came. A SysEx larger than the
// room left goes out as consecutive SysEx events of one message, continuing in the next periods;
// any other message waits for the next period unless even an empty buffer could not hold it.
void JackCycle::sendEvents(void* const outs[2], jack_nframes_t frames, jack_time_t cycleStart,
                           jack_time_t cycleNext, bool hardwareOutLinked) {
    bool wrote[2] = {false, false};
    jack_nframes_t last[2] = {0, 0};  // events in a buffer must not go back in time
    // PipeWire's JACK copies a period's events into a buffer of the size of an empty JACK one,
    // at 16 bytes per event more and the data padded to 8: what fits JACK's buffer can overflow
    // that one (a crash of the reader in PipeWire 0.3.65). So a period carries what fits both.
    std::size_t budget[2] = {0, 0};
    for (int i = 0; i < 2; ++i)
        if (outs[i]) budget[i] = jack_midi_max_event_size(outs[i]) & ~std::size_t{7};
    jack_nframes_t at = 0;
    for (;;) {
        if (pendingLeft_ == 0) {
            OutHeader h;
            const std::size_t ready = out_.readSpace();
            if (ready < sizeof h) return;
            out_.peek(&h, sizeof h);
            if (ready < sizeof h + h.length) return;
            if (h.target == Target::hardwareOut && !hardwareOutLinked) {
                // Not connected (yet): a new route gets a few periods, a vanished destination
                // none.
                if (h.newRoute) {
                    const jack_time_t now = jack_get_time();
                    if (routeWaitSince_ == 0) routeWaitSince_ = now;
                    if (now - routeWaitSince_ < kRouteWaitMicros) return;
                }
                out_.skip(sizeof h + h.length);
                routeWaitSince_ = 0;
                continue;
            }
            at = 0;
            if (cycleNext > cycleStart) {
                // Handed over during this period: its place is in the next one.
                const auto since = static_cast<std::int64_t>(h.stamp - cycleStart);
                if (since >= 0) return;
                const std::int64_t offset =
                    static_cast<std::int64_t>(frames) +
                    since * frames / static_cast<std::int64_t>(cycleNext - cycleStart);
                at = static_cast<jack_nframes_t>(std::max<std::int64_t>(offset, 0));
            }
            routeWaitSince_ = 0;
            out_.skip(sizeof h);
            pendingLeft_ = h.length;
            pendingTarget_ = static_cast<int>(h.target);
            std::uint8_t first = 0;
            out_.peek(&first, 1);
            pendingSysex_ = first == 0xF0;
        }
        void* buffer = outs[pendingTarget_];
        at = std::max(at, last[pendingTarget_]);
        const std::size_t room =
            std::min(jack_midi_max_event_size(buffer),
                     budget[pendingTarget_] > kEventCost ? budget[pendingTarget_] - kEventCost : 0);
        std::size_t piece = pendingLeft_;
        if (piece > room) {
            if (room == 0 || (!pendingSysex_ && wrote[pendingTarget_])) return;
            piece = room;
        }
        jack_midi_data_t* data = jack_midi_event_reserve(buffer, at, piece);
        if (!data) return;
        out_.read(data, piece);
        pendingLeft_ -= piece;
        budget[pendingTarget_] -= kEventCost + ((piece + 7) & ~std::size_t{7});
        wrote[pendingTarget_] = true;
        last[pendingTarget_] = at;
        at = 0;  // the rest of a SysEx goes on as soon as there is room
    }
}

}  // namespace tessaryn
