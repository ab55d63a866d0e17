#include <gtest/gtest.h>

#include <random>

#include "midi/midi_stream_parser.h"

using MIDIMessage = std::vector<std::uint8_t>;  // the parser hands out bytes
using tessaryn::MIDIStreamParser;

namespace {

// Through `p` when its state is looked at afterwards.
template <typename Parser = MIDIStreamParser>
std::vector<MIDIMessage> parseAll(const std::vector<std::uint8_t>& bytes, Parser&& p = {}) {
    std::vector<MIDIMessage> out;
    for (std::uint8_t b : bytes) p.feed(b, [&](auto m) { out.emplace_back(m.begin(), m.end()); });
    return out;
}

// What each case is, the bytes in and the messages out.
const std::tuple<const char*, std::vector<std::uint8_t>, std::vector<MIDIMessage>> kCases[] = {
    {"running status", {0x90, 0x3C, 0x64, 0x3E, 0x64}, {{0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x64}}},
    {"one data byte running", {0xC0, 0x05, 0x06}, {{0xC0, 0x05}, {0xC0, 0x06}}},
    {"channel pressure", {0xD3, 0x40}, {{0xD3, 0x40}}},
    {"pitch bend", {0xE1, 0x00, 0x40, 0x7F, 0x7F}, {{0xE1, 0x00, 0x40}, {0xE1, 0x7F, 0x7F}}},
    // Real-time is emitted the moment it arrives, before the message it interrupts.
    {"clock between status and data", {0x90, 0xF8, 0x3C, 0x64}, {{0xF8}, {0x90, 0x3C, 0x64}}},
    {"clock between data bytes", {0xB0, 0x07, 0xFE, 0x40}, {{0xFE}, {0xB0, 0x07, 0x40}}},
    {"realtime inside sysex", {0xF0, 0x7E, 0xF8, 0x01, 0xF7}, {{0xF8}, {0xF0, 0x7E, 0x01, 0xF7}}},
    {"empty sysex", {0xF0, 0xF7}, {{0xF0, 0xF7}}},
    {"sysex cut by status", {0xF0, 0x01, 0x02, 0x90, 0x3C, 0x64}, {{0x90, 0x3C, 0x64}}},
    {"sysex cut by tune request", {0xF0, 0x01, 0xF6, 0x02}, {{0xF6}}},
    {"stray F7 ends running status", {0x90, 0x3C, 0x64, 0xF7, 0x3E, 0x64}, {{0x90, 0x3C, 0x64}}},
    {"data before any status, undefined F4 F5", {0x3C, 0x64, 0xF4, 0x01, 0x02, 0xF5, 0x01}, {}},
    {"song position, no running status", {0xF2, 0x01, 0x02, 0x03}, {{0xF2, 0x01, 0x02}}},
    {"unfinished note dropped", {0x90, 0x3C, 0x80, 0x3C, 0x00}, {{0x80, 0x3C, 0x00}}},
    {"realtime FA FF pass", {0xFA, 0xFF}, {{0xFA}, {0xFF}}},
    {"quarter frame, song select, status after system common",
     {0xF1, 0x10, 0xF3, 0x05, 0x3C, 0xB0, 0x01, 0x02},
     {{0xF1, 0x10}, {0xF3, 0x05}, {0xB0, 0x01, 0x02}}},
};

}  // namespace

TEST(MIDIStreamParser, ByteTables) {
    for (const auto& [name, in, out] : kCases) EXPECT_EQ(parseAll(in), out) << name;
}

TEST(MIDIStreamParser, SysexUpToTheLimitIsWholeAndAnEndlessOneIsAbandoned) {
    std::vector<std::uint8_t> in{0xF0};
    in.insert(in.end(), MIDIStreamParser::kMaxSysex - 2, 0x11);
    in.push_back(0xF7);
    EXPECT_EQ(parseAll(in), std::vector<MIDIMessage>{in});

    MIDIStreamParser p;
    in.assign(MIDIStreamParser::kMaxSysex + 5000, 0x22);
    in.front() = 0xF0;
    EXPECT_TRUE(parseAll(in, p).empty());
    EXPECT_FALSE(p.inSysex);
    EXPECT_LT(p.sysex.capacity(), 1024u);  // the buffer was given back
    // Its closing bytes are dropped; real-time still passes; the next status starts afresh.
    const auto out = parseAll({0x22, 0xF8, 0x33, 0xF7, 0x90, 0x3C, 0x64}, p);
    EXPECT_EQ(out, (std::vector<MIDIMessage>{{0xF8}, {0x90, 0x3C, 0x64}}));
}

TEST(MIDIStreamParser, EveryEmittedMessageRoundTrips) {
    // Re-serialising what was parsed (status always written) parses back to the same messages.
    std::independent_bits_engine<std::mt19937, 8, unsigned> rng(7);
    std::vector<std::uint8_t> noise(50000);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    const auto first = parseAll(noise);
    std::vector<std::uint8_t> again;
    for (const auto& m : first) again.insert(again.end(), m.begin(), m.end());
    EXPECT_EQ(parseAll(again), first);
}
