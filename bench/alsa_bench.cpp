// Latency through the ALSA sequencer (run inside the test VM: scripts/alsa-vm.sh build
// ./bench/bench_alsa). Under emulation the figures are the VM's, so the sequencer's own round
// trip through "Midi Through" is printed beside them as a yardstick.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "figures.h"
#include "midi/alsa/alsa_midi.h"
#include "midi/alsa_peer.h"
#include "midi/midi_endpoints.h"

using namespace std::chrono;
using namespace tessaryn;
using tessaryn::bench::percentile;
using namespace tessaryn::testing;

namespace {

void report(const char* what, const std::vector<double>& us) {
    std::printf("%-58s median %7.1f us   p99 %7.1f us\n", what, percentile(us, 0.5),
                percentile(us, 0.99));
}

template <typename Send>
std::vector<double> measure(Inbox& inbox, Send send, int notes = 2000) {
    std::vector<double> us;
    for (int i = 0; i < notes; ++i) {
        const std::size_t before = inbox.received();
        const auto t0 = steady_clock::now();
        send(static_cast<std::uint8_t>(i % 128));
        inbox.waitBytes(before + 3, seconds(5));
        us.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
    }
    return us;
}

}  // namespace

// argv[1]: notes beside a reader that never reads (default 2000).
int main(int argc, char** argv) {
    const int stalledNotes = argc > 1 ? std::atoi(argv[1]) : 2000;
    MIDIEndpoints midi("Halvenor", alsaMIDIFactory(), [](std::function<void()>) {});
    Inbox received;
    midi.setOnMIDIIn([&](std::span<const MIDIService::Event> events, bool) {
        for (const auto& e : events) received.add(e.bytes);
    });
    Peer peer("Bench");
    peer.subscribeTo("Halvenor Out");
    std::printf(
        "ALSA sequencer inside an emulated VM (figures are the emulator's), 2000 notes each:\n");
    auto publish = [&](std::uint8_t n) { midi.service().publish(Bytes{0x90, n, 0x64}); };
    report("publish -> another client", measure(peer.inbox, publish));
    report("another client -> \"Halvenor In\" -> onMIDIIn", measure(received, [&](std::uint8_t n) {
               peer.sendTo("Halvenor In", {0x90, n, 0x64});
           }));
    Peer echo("Yardstick");
    echo.subscribeTo("Midi Through Port-0");
    report("yardstick: client -> \"Midi Through\" -> client",
           measure(echo.inbox, [&](std::uint8_t n) {
               echo.sendTo("Midi Through Port-0", {0x90, n, 0x64});
           }));
    {
        // A suspended program subscribed beside the healthy one: its queue (4 events) stays full.
        Peer stalled("Suspended", 4, -1ms);
        stalled.subscribeTo("Halvenor Out");
        const auto us = measure(peer.inbox, publish, stalledNotes);
        char what[80];
        std::snprintf(what, sizeof what, "publish -> another client, beside a full one (%d)",
                      stalledNotes);
        report(what, us);
        std::printf("  messages the full reader could not take: %llu\n",
                    static_cast<unsigned long long>(midi.service().losses().toReaders));
    }
    // What keeps readers behind Midi Through whole on long SysEx: 256-byte events in 4 KB
    // bursts, paced to the room in their queues.
    const std::int32_t through = idOf(midi.availablePorts().second, "Midi Through Port-0");
    const Bytes big = sysex(1 << 20);
    echo.inbox.clear();
    const auto t0 = steady_clock::now();
    midi.service().sendTo(through, big);
    echo.inbox.waitBytes(big.size(), seconds(60));
    std::printf(
        "1 MiB SysEx -> \"Midi Through\" -> client: %.0f ms, %zu of %zu bytes, "
        "overflows %d\n",
        duration<double, std::milli>(steady_clock::now() - t0).count(), echo.inbox.received(),
        big.size(), echo.overflows.load());
}
