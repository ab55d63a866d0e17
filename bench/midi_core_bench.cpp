// Throughput of the message core: a 2 Mbaud line carries 0.2 MB/s, so anything in the hundreds
// of MB/s leaves the core invisible next to the wire.
#include <benchmark/benchmark.h>

#include <random>

#include "midi/learned_route.h"
#include "midi/midi_stream_parser.h"
#include "midi/monitor_text.h"
#include "midi/note_rewriter.h"

using namespace tessaryn;

namespace {

// Notes with running status, CCs, clock bytes, and about 10% of the bytes in SysEx.
std::vector<std::uint8_t> mixedStream() {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> pick(0, 99), data(0, 127);
    std::vector<std::uint8_t> s;
    while (s.size() < (1u << 20)) {
        const int p = pick(rng);
        if (p < 40) {
            s.insert(s.end(), {0x99, static_cast<std::uint8_t>(data(rng)), 0x64,
                               static_cast<std::uint8_t>(data(rng)), 0x00});
        } else if (p < 70) {
            s.insert(s.end(), {0xB0, 0x07, static_cast<std::uint8_t>(data(rng))});
        } else if (p < 97) {
            s.push_back(0xF8);
        } else {
            s.push_back(0xF0);
            for (int i = 0; i < 40; ++i) s.push_back(static_cast<std::uint8_t>(data(rng)));
            s.push_back(0xF7);
        }
    }
    return s;
}

void parse(benchmark::State& state, const std::vector<std::uint8_t>& stream) {
    std::size_t messages = 0;
    for (auto _ : state) {
        MIDIStreamParser p;
        for (std::uint8_t b : stream) {
            p.feed(b, [&](MIDIStreamParser::Bytes m) {
                benchmark::DoNotOptimize(m.data());
                ++messages;
            });
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["ns/msg"] = benchmark::Counter(
        static_cast<double>(messages), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ParseMixed(benchmark::State& state) {
    static const auto stream = mixedStream();
    parse(state, stream);
}
BENCHMARK(BM_ParseMixed)->Unit(benchmark::kMillisecond);

void BM_ParseSysex(benchmark::State& state) {
    static const auto stream = [] {
        std::vector<std::uint8_t> s;
        while (s.size() < (1u << 20)) {
            s.push_back(0xF0);
            s.insert(s.end(), 3000, 0x11);
            s.push_back(0xF7);
        }
        return s;
    }();
    parse(state, stream);
}
BENCHMARK(BM_ParseSysex)->Unit(benchmark::kMillisecond);

// What the serial-to-MIDI path does per message besides parsing.
void BM_RewriteRouteMonitor(benchmark::State& state) {
    NoteRewriter rewriter;
    rewriter.forceChannel = 9;
    const std::vector<LearnedRoute> routes{{Uuid::random(), true, 7, 20},
                                           {Uuid::random(), false, 61, 36}};
    const MIDIMessage messages[] = {{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}, {0xB0, 0x07, 0x40}};
    std::size_t i = 0;
    for (auto _ : state) {
        const MIDIMessage& m = messages[i++ % 3];
        auto r = applyLearned(m, routes);
        MIDIMessage sent = r.matched ? std::move(r.message) : rewriter.rewrite(m);
        auto text = monitorText(sent, true);
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RewriteRouteMonitor);

}  // namespace
