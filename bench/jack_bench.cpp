// Latency and throughput through JACK MIDI, against a jackd (dummy driver, 48 kHz, 256-frame
// periods) that the benchmark starts under a name of its own. A JACK hop is bound to periods,
// so latencies are printed in periods too.
#include <chrono>
#include <cstdio>

#include "figures.h"
#include "midi/jack/jack_midi.h"
#include "midi/jack_peer.h"
#include "midi/midi_endpoints.h"

using namespace std::chrono;
using namespace tessaryn;
using tessaryn::bench::percentile;
using namespace tessaryn::testing;

namespace {

constexpr int kPeriod = 256;
constexpr double kPeriodUs = kPeriod * 1e6 / 48000;

void latency(const char* what, const std::vector<double>& us) {
    std::printf("%-50s median %6.0f us = %4.2f periods   p99 %6.0f us = %4.2f periods\n", what,
                percentile(us, 0.5), percentile(us, 0.5) / kPeriodUs, percentile(us, 0.99),
                percentile(us, 0.99) / kPeriodUs);
}

template <typename Send>
std::vector<double> measure(Inbox& inbox, std::size_t bytes, int count, Send send) {
    std::vector<double> us;
    for (int i = 0; i < count; ++i) {
        const std::size_t before = inbox.received();
        const auto t0 = steady_clock::now();
        send(static_cast<std::uint8_t>(i % 128));
        if (!inbox.waitBytes(before + bytes, seconds(5))) std::printf("  (a message was lost)\n");
        us.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
    }
    return us;
}

}  // namespace

int main() {
    if (!JackServer::available()) return std::fprintf(stderr, "jackd is not installed\n"), 1;
    JackServer server(kPeriod);
    if (!server.ready()) return std::fprintf(stderr, "jackd did not start\n"), 1;

    MIDIEndpoints midi("Halvenor", jackMIDIFactory(), [](std::function<void()>) {});
    Inbox received;
    midi.setOnMIDIIn([&](std::span<const MIDIService::Event> events, bool) {
            for (const auto& e : events) received.add(e.bytes);
        });
    JackPeer peer("Bench");
    peer.addPort("in", true);
    peer.addPort("out", false);
    peer.connect("Halvenor:Halvenor Out", peer.full("in"));
    peer.connect(peer.full("out"), "Halvenor:Halvenor In");
    peer.waitLinks("in", 1);
    peer.waitLinks("out", 1);

    std::printf("JACK MIDI, dummy driver, %d frames at 48 kHz (one period = %.0f us):\n", kPeriod,
                kPeriodUs);
    latency("sendToMIDI -> another client, 500 notes",
            measure(peer.inbox, 3, 500, [&](std::uint8_t n) {
                sendToMIDI(midi, Bytes{0x90, n, 0x64}, 0);
            }));
    const Bytes dump = sysex(3000);
    latency(
        "sendToMIDI -> another client, 100 SysEx, 3000 B",
        measure(peer.inbox, dump.size(), 100, [&](std::uint8_t) { sendToMIDI(midi, dump, 0); }));
    latency("another client -> \"Halvenor In\" -> onMIDIIn, 500",
            measure(received, 3, 500, [&](std::uint8_t n) {
                peer.send("out", {0x90, n, 0x64});
            }));

    // Throughput: batches of 1,000 notes, each batch in flight until it has arrived.
    constexpr int kBatches = 100, kBatch = 1000;
    std::vector<Bytes> batch;
    for (int i = 0; i < kBatch; ++i) batch.push_back({0x90, static_cast<std::uint8_t>(i % 128), 1});
    peer.inbox.clear();
    auto t0 = steady_clock::now();
    for (int b = 0; b < kBatches; ++b) {
        sendAllToMIDI(midi, batch, 0);
        peer.inbox.waitBytes(std::size_t(b + 1) * kBatch * 3, seconds(10));
    }
    double s = duration<double>(steady_clock::now() - t0).count();
    std::printf("%-50s %9.0f messages/s, %zu of %d lost\n",
                "out: 100,000 notes in batches of 1,000", kBatches * kBatch / s,
                std::size_t(kBatches * kBatch) - peer.inbox.received() / 3, kBatches * kBatch);

    received.clear();
    t0 = steady_clock::now();
    constexpr int kIn = 100000;
    for (int i = 0; i < kIn; ++i) peer.send("out", {0x90, static_cast<std::uint8_t>(i % 128), 1});
    received.waitBytes(std::size_t(kIn) * 3, seconds(60));
    s = duration<double>(steady_clock::now() - t0).count();
    std::printf("%-50s %9.0f messages/s, %zu of %d lost\n", "in: 100,000 notes as fast as sent",
                kIn / s, std::size_t(kIn) - received.received() / 3, kIn);
}
