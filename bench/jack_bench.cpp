// Latency and throughput through JACK MIDI, against a server of its own (jackd, or PipeWire when
// run with PipeWire's libjack: `pw-jack bench_jack`; dummy driver, 48 kHz, 256-frame periods).
// Latencies are measured on the server's frame clock, in frames and periods, for messages sent at
// random phases of the period; the two directions go through two clients of their own, so the graph
// has no cycle that would order them.
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "figures.h"
#include "midi/jack/jack_midi.h"
#include "midi/jack_peer.h"
#include "midi/midi_endpoints.h"
#include "midi/parsed.h"

using namespace std::chrono;
using namespace tessaryn;
using tessaryn::bench::percentile;
using namespace tessaryn::testing;

namespace {

constexpr int kPeriod = 256;
constexpr double kPeriodUs = kPeriod * 1e6 / 48000;

void latency(const char* what, std::vector<double> frames) {
    const auto [low, high] = std::minmax_element(frames.begin(), frames.end());
    std::printf("%-46s median %5.0f frames = %4.2f periods   p99 %5.0f = %4.2f   range %.0f-%.0f\n",
                what, percentile(frames, 0.5), percentile(frames, 0.5) / kPeriod,
                percentile(frames, 0.99), percentile(frames, 0.99) / kPeriod, *low, *high);
}

// Waits a random part of two periods, so that the next send falls at a random phase.
void randomPhase(std::mt19937& random) {
    std::uniform_real_distribution<double> us(0, 2 * kPeriodUs);
    std::this_thread::sleep_for(duration<double, std::micro>(us(random)));
}

}  // namespace

int main() {
    if (!JackServer::available()) return std::fprintf(stderr, "no JACK server installed\n"), 1;
    JackServer server(kPeriod);
    if (!server.ready())
        return std::fprintf(stderr, "%s did not start\n", server.describe().c_str()), 1;

    MIDIEndpoints midi("Halvenor", jackMIDIFactory(), [](std::function<void()>) {});
    JackPeer reader("Reader"), writer("Writer");
    Inbox received;
    midi.setOnMIDIIn([&](std::span<const MIDIService::Event> events, bool) {
        for (const auto& e : events) received.add(e.bytes);
    });
    reader.addPort("in", true);
    writer.addPort("out", false);
    reader.connect("Halvenor:Halvenor Out", reader.full("in"));
    writer.connect(writer.full("out"), "Halvenor:Halvenor In");
    reader.waitLinks("in", 1);
    writer.waitLinks("out", 1);

    std::printf("JACK MIDI (%s), dummy driver, %d frames at 48 kHz (one period = %.0f us):\n",
                pipeWireJack() ? "PipeWire" : "jackd", kPeriod, kPeriodUs);
    std::mt19937 random(7);
    // A message larger than an event is timed by its first event.
    auto out = [&](const char* what, const Bytes& m, int count) {
        std::vector<double> frames;
        for (int i = 0; i < count; ++i) {
            randomPhase(random);
            const std::size_t first = reader.arrivals().size(), bytes = reader.inbox.received();
            const jack_nframes_t sent = reader.now();
            sendToMIDI(midi, m, 0);
            reader.inbox.waitBytes(bytes + m.size(), seconds(5));
            frames.push_back(std::int32_t(reader.arrivals().at(first) - sent));
        }
        latency(what, frames);
    };
    out("sendToMIDI -> another client, 500 notes", Bytes{0x90, 0x3C, 0x64}, 500);
    out("sendToMIDI -> another client, 100 x 3000 B", sysex(3000), 100);
    {
        // A reader that takes 2 ms of each period (of 5.3) beside the one timed.
        JackPeer slow("Slow");
        slow.addPort("in", true);
        slow.stall = microseconds(2000);
        slow.connect("Halvenor:Halvenor Out", slow.full("in"));
        slow.waitLinks("in", 1);
        out("sendToMIDI -> a client beside a slow one, 500", Bytes{0x90, 0x3C, 0x64}, 500);
    }

    // The other way, timed on the wall clock from the moment the other client is asked to send:
    // it sends at the start of its next period, so this includes a random part of a period.
    std::vector<double> frames;
    for (int i = 0; i < 500; ++i) {
        randomPhase(random);
        const std::size_t before = received.received();
        const auto t0 = steady_clock::now();
        writer.send("out", {0x90, static_cast<std::uint8_t>(i % 128), 0x64});
        received.waitBytes(before + 3, seconds(5));
        frames.push_back(duration<double>(steady_clock::now() - t0).count() * 48000);
    }
    latency("another client -> onMIDIIn, 500 notes", frames);

    // Throughput: batches of 1,000 notes, each batch in flight until it has arrived.
    constexpr int kBatches = 100, kBatch = 1000;
    std::vector<MIDIMessage> batch;
    for (int i = 0; i < kBatch; ++i) batch.push_back({0x90, static_cast<std::uint8_t>(i % 128), 1});
    reader.inbox.clear();
    auto t0 = steady_clock::now();
    for (int b = 0; b < kBatches; ++b) {
        sendAllToMIDI(midi, batch, 0);
        reader.inbox.waitBytes(std::size_t(b + 1) * kBatch * 3, seconds(10));
    }
    double s = duration<double>(steady_clock::now() - t0).count();
    std::printf("%-50s %9.0f messages/s, %zu of %d lost\n",
                "out: 100,000 notes in batches of 1,000", kBatches * kBatch / s,
                std::size_t(kBatches * kBatch) - reader.inbox.received() / 3, kBatches * kBatch);

    // Two programs at once into "Halvenor In": a librarian's 64 KiB SysEx dump in 1,000-byte
    // events, one a period, and another client's note beside each; timed from the first send to
    // the last message parsed (the sending alone takes 66 periods, 352 ms). The messages the bridge
    // makes of them must be exactly those sent. (Both as fast as their buffers take them would
    // overflow the merged buffer of the port: JACK drops what does not fit.)
    {
        JackPeer librarian("Librarian"), daw("Daw");
        for (JackPeer* p : {&librarian, &daw}) {
            p->addPort("out", false);
            p->connect(p->full("out"), "Halvenor:Halvenor In");
            p->waitLinks("out", 1);
        }
        const Bytes dump = sysex(65536), note{0x90, 0x11, 0x11};
        std::vector<double> ms;
        std::size_t wrong = 0, missing = 0;
        for (int run = 0; run < 20; ++run) {
            Parsed parsed;
            midi.setOnMIDIIn([&](auto events, bool lostBefore) { parsed.add(events, lostBefore); });
            const auto start = steady_clock::now();
            std::size_t notes = 0;
            for (std::size_t at = 0; at < dump.size(); at += 1000, ++notes) {
                librarian.send("out", Bytes(dump.begin() + at,
                                            dump.begin() + std::min(at + 1000, dump.size())));
                daw.send("out", note);
                std::this_thread::sleep_for(duration<double, std::micro>(kPeriodUs));
            }
            const auto got = parsed.wait(notes + 1, seconds(10));
            ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
            const auto good =
                std::count(got.begin(), got.end(), note) + std::count(got.begin(), got.end(), dump);
            wrong += got.size() - std::size_t(good);
            missing += notes + 1 - std::min<std::size_t>(notes + 1, std::size_t(good));
            midi.setOnMIDIIn({});
        }
        std::printf("%-46s median %5.1f ms, p99 %5.1f ms; %zu invented, %zu missing of %d\n",
                    "two senders: 64 KiB SysEx + 66 notes, 20 runs", percentile(ms, 0.5),
                    percentile(ms, 0.99), wrong, missing, 20 * 67);
    }
    midi.setOnMIDIIn([&](std::span<const MIDIService::Event> events, bool) {
        for (const auto& e : events) received.add(e.bytes);
    });

    received.clear();
    t0 = steady_clock::now();
    constexpr int kIn = 100000;
    for (int i = 0; i < kIn; ++i) writer.send("out", {0x90, static_cast<std::uint8_t>(i % 128), 1});
    received.waitBytes(std::size_t(kIn) * 3, seconds(60));
    s = duration<double>(steady_clock::now() - t0).count();
    std::printf("%-50s %9.0f messages/s, %zu of %d lost\n", "in: 100,000 notes as fast as sent",
                kIn / s, std::size_t(kIn) - received.received() / 3, kIn);
}
