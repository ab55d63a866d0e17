// Latency through the ALSA sequencer (run inside the test VM: scripts/alsa-vm.sh build
// ./bench/bench_alsa). Under emulation the figures are the VM's, so the sequencer's own round
// trip through "Midi Through" is printed beside them as a yardstick.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
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
    std::printf("%-52s median %7.1f us   p99 %7.1f us\n", what, percentile(us, 0.5),
                percentile(us, 0.99));
}

template <typename Send>
std::vector<double> measure(Inbox& inbox, Send send) {
    std::vector<double> us;
    for (int i = 0; i < 2000; ++i) {
        const std::size_t before = inbox.received();
        const auto t0 = steady_clock::now();
        send(static_cast<std::uint8_t>(i % 128));
        inbox.waitBytes(before + 3, seconds(5));
        us.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
    }
    return us;
}

}  // namespace

int main() {
    MIDIEndpoints midi("Halvenor", alsaMIDIFactory(), [](std::function<void()>) {});
    Inbox received;
    midi.setOnMIDIIn([&](std::span<const std::uint8_t> b) { received.add(b); });
    Peer peer("Bench");
    peer.subscribeTo("Halvenor Out");
    std::printf(
        "ALSA sequencer inside an emulated VM (figures are the emulator's), 2000 notes each:\n");
    report("sendToMIDI -> another client", measure(peer.inbox, [&](std::uint8_t n) {
               sendToMIDI(midi, Bytes{0x90, n, 0x64}, 0);
           }));
    report("another client -> \"Halvenor In\" -> onMIDIIn", measure(received, [&](std::uint8_t n) {
               peer.sendTo("Halvenor In", {0x90, n, 0x64});
           }));
    Peer echo("Yardstick");
    echo.subscribeTo("Midi Through Port-0");
    report("yardstick: client -> \"Midi Through\" -> client",
           measure(echo.inbox, [&](std::uint8_t n) {
               echo.sendTo("Midi Through Port-0", {0x90, n, 0x64});
           }));
}
