// What the bridge does with each message: learned routes (and how they are kept), the note
// rewriter, and the monitor's lines for what came in and what went out.
#include <gtest/gtest.h>

#include <algorithm>

#include "midi/learned_route.h"
#include "midi/monitor_text.h"
#include "midi/note_rewriter.h"

using namespace tessaryn;

namespace {

// One step of a press/release sequence: an optional settings change, then a message in and
// the message expected out.
struct Step {
    MIDIMessage in;
    MIDIMessage out;
    int target = -1;  // set before the message when >= 0
    int force = -2;   // -1 clears forcing, 0..15 forces, -2 leaves it
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
    std::vector<MIDIMessage> released;  // by releaseAll afterwards, sorted
    bool enabled = true;
};

const Sequence kSequences[] = {
    {"forced channel: release as note-on velocity 0, and after forcing is switched off",
     {{{0x92, 0x30, 0x64}, {0x99, 0x26, 0x64}, -1, 9},
      {{0x92, 0x30, 0x00}, {0x99, 0x26, 0x00}},
      {{0x92, 0x30, 0x64}, {0x99, 0x26, 0x64}},
      {{0x82, 0x30, 0x10}, {0x89, 0x26, 0x10}, -1, -1}},
     {}},
    {"no forcing, target changes while held",
     {{{0x92, 0x30, 0x64}, {0x92, 0x26, 0x64}},
      {{0x82, 0x30, 0x40}, {0x82, 0x26, 0x40}, 42},
      {{0x92, 0x30, 0x64}, {0x92, 0x2A, 0x64}}},
     {{0x82, 0x2A, 0x00}}},
    {"release without press",
     {{{0x83, 0x40, 0x00}, {0x83, 0x26, 0x00}}, {{0x83, 0x40, 0x00}, {0x89, 0x26, 0x00}, -1, 9}},
     {}},
    {"two presses before release",
     {{{0x90, 0x30, 0x64}, {0x90, 0x26, 0x64}},
      {{0x90, 0x30, 0x50}, {0x99, 0x2A, 0x50}, 42, 9},
      {{0x80, 0x30, 0x00}, {0x89, 0x2A, 0x00}, 36, -1},
      {{0x80, 0x30, 0x00}, {0x80, 0x24, 0x00}}},
     {}},
    {"other messages pass",
     {{{0xA9, 0x24, 0x10}, {0xA9, 0x24, 0x10}},
      {{0xB0, 0x07, 0x64}, {0xB0, 0x07, 0x64}},
      {{0xC0, 0x05}, {0xC0, 0x05}},
      {{0x90, 0x3C}, {0x90, 0x3C}},
      {{0xF8}, {0xF8}}},
     {}},
    {"each held note ends once, on the channel and note it went out with; extra bytes kept",
     {{{0x90, 48, 0x64, 0x01}, {0x90, 0x26, 0x64, 0x01}},
      {{0x90, 50, 0x64}, {0x90, 0x26, 0x64}},
      {{0x91, 50, 0x64}, {0x99, 0x24, 0x64}, 36, 9}},
     {{0x80, 0x26, 0x00}, {0x80, 0x26, 0x00}, {0x89, 0x24, 0x00}}},
    {"disabled passes everything and holds nothing",
     {{{0x99, 0x24, 0x64}, {0x99, 0x24, 0x64}}, {{0x90, 0x30, 0x64}, {0x90, 0x30, 0x64}}},
     {},
     false},
};

using Line = std::optional<std::string>;  // none: nothing shown

// A message, whether it came from the pad, and its monitor line.
const std::tuple<MIDIMessage, bool, Line> kMonitor[] = {
    {{0x99, 0x26, 0x64}, true, "Pad  Snare 38 · vel 100 · ch 10"},
    {{0x90, 0x3C, 0x00}, false, "MIDI  Note off 60 · ch 1"},
    {{0x8F, 0x26, 0x40}, true, "Pad  Note off 38 · ch 16"},
    {{0xB2, 0x07, 0x40}, false, "MIDI  CC 7 · 64 · ch 3"},
    {{0xB2, 0x07}, false, "MIDI  CC 7 · 0 · ch 3"},
    {{0xC0, 0x05}, false, "MIDI  Program 5 · ch 1"},
    {{0xEF, 0x00, 0x40}, false, "MIDI  Pitch bend · ch 16"},
    {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, false, "MIDI  SysEx 6 bytes"},
    {{0xA0, 0x3C, 0x7F}, true, "Pad  A0 3C 7F"},
    {{0xF5, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, false, "MIDI  F5 01 02 03 04 05"},
    {{0xF8}, false, std::nullopt},
    {{}, false, std::nullopt},
};

// A hit as it came and as it went out, whether remapping is on, and its line.
const std::tuple<MIDIMessage, MIDIMessage, bool, Line> kHits[] = {
    {{0x99, 0x3C, 0x64}, {0x99, 0x26, 0x64}, true, "hit 60 → Snare 38 · ch 10 · vel 100"},
    {{0x89, 0x3C, 0x40}, {0x89, 0x26, 0x40}, true, "release 60 → Snare 38 · ch 10 · vel 64"},
    {{0x90, 0x3C, 0x64}, {0x99, 0x3C, 0x64}, true, "hit 60 · ch 10 · vel 100"},
    {{0x90, 0x28, 0x64}, {0x90, 0x28, 0x64}, false, "hit 40 · ch 1 · vel 100 · unchanged"},
    {{0x90, 0x28, 0x00}, {0x90, 0x26, 0x00}, true, "release 40 → Snare 38 · ch 1 · vel 0"},
    {{0xB0, 0x07, 0x40}, {0xB0, 0x07, 0x40}, true, std::nullopt},
    {{0x90, 0x3C, 0x64}, {0x90}, true, std::nullopt},
    {{0x90}, {0x90, 0x3C, 0x64}, true, std::nullopt},
};

LearnedRoute note(std::int64_t s, std::int64_t d) {
    return {Uuid::random(), false, s, d};
}
LearnedRoute cc(std::int64_t s, std::int64_t d) {
    return {Uuid::random(), true, s, d};
}

constexpr const char* kId = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";

// One route as the stored file holds it (keys sorted), fields given as JSON text.
std::string one(const std::string& id, const std::string& isCC, const std::string& source,
                const std::string& destination) {
    return "[{\"destination\":" + destination + ",\"id\":\"" + id + "\",\"isCC\":" + isCC +
           ",\"source\":" + source + "}]";
}

}  // namespace

TEST(NoteRewriter, PressReleaseSequences) {
    for (const Sequence& s : kSequences) {
        NoteRewriter r;
        r.enabled = s.enabled;
        int i = 0;
        for (const Step& step : s.steps) {
            if (step.target >= 0) r.target = static_cast<std::uint8_t>(step.target);
            if (step.force == -1) r.forceChannel.reset();
            if (step.force >= 0) r.forceChannel = static_cast<std::uint8_t>(step.force);
            EXPECT_EQ(r.rewrite(step.in), step.out) << s.name << " step " << i++;
        }
        auto offs = r.releaseAll();
        std::sort(offs.begin(), offs.end());
        EXPECT_EQ(offs, s.released) << s.name;
        EXPECT_TRUE(r.releaseAll().empty()) << s.name;
    }
}

TEST(MonitorText, Lines) {
    for (const auto& [m, fromPad, line] : kMonitor) {
        EXPECT_EQ(monitorText(m, fromPad), line) << ::testing::PrintToString(m);
    }
    for (const auto& [raw, sent, remapOn, line] : kHits) {
        EXPECT_EQ(drumHitLine(raw, sent, remapOn), line)
            << ::testing::PrintToString(raw) << " " << ::testing::PrintToString(sent);
    }
}

TEST(LearnedRoutes, Apply) {
    const std::vector<LearnedRoute> routes{note(60, 38), cc(7, 20),    note(61, 200),
                                           note(62, -5), note(60, 36), cc(300, 1)};
    const std::tuple<MIDIMessage, MIDIMessage, bool> cases[] = {
        // in, out, matched
        {{0x99, 0x3C, 0x64}, {0x99, 0x26, 0x64}, true},
        {{0x89, 0x3C, 0x00}, {0x89, 0x26, 0x00}, true},
        {{0x90, 0x3C, 0x00}, {0x90, 0x26, 0x00}, true},
        {{0xB3, 0x07, 0x40}, {0xB3, 0x14, 0x40}, true},
        {{0x90, 0x07, 0x64}, {0x90, 0x07, 0x64}, false},  // a CC route never moves a note
        {{0xB0, 0x3C, 0x01}, {0xB0, 0x3C, 0x01}, false},  // nor a note route a CC
        {{0x90, 0x3D, 0x01}, {0x90, 0x7F, 0x01}, true},
        {{0x90, 0x3E, 0x01}, {0x90, 0x00, 0x01}, true},
        {{0xB0}, {0xB0}, false},
        {{0xC0, 0x07}, {0xC0, 0x07}, false},
        {{0xA0, 0x3C, 0x40}, {0xA0, 0x3C, 0x40}, false},
        {{0x90, 0x3C}, {0x90, 0x26}, true},  // two bytes are enough
    };
    for (const auto& [in, out, matched] : cases) {
        const auto r = applyLearned(in, routes);
        EXPECT_EQ(std::pair(r.message, r.matched), std::pair(out, matched))
            << ::testing::PrintToString(in);
    }
}

TEST(LearnedRoutes, LineNamesTheVoiceJsonRoundTripsAndDamagedOrHugeJsonIsRejectedWhole) {
    EXPECT_EQ(note(60, 38).line(), "Note 60 → Snare 38");
    const std::string good = one(kId, "true", "7", "20");
    LearnedRoute r{*Uuid::parse("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"), true, 7, 20};
    EXPECT_EQ(encodeRoutes({r}), good);
    EXPECT_EQ(decodeRoutes(good), std::vector{r});  // the damaged cases' healthy base
    EXPECT_EQ(encodeRoutes({}), "[]");
    const std::vector<LearnedRoute> routes{note(60, 38), cc(7, 20), note(INT64_MIN, INT64_MAX),
                                           note(60, 36)};
    EXPECT_EQ(decodeRoutes(encodeRoutes(routes)), routes);
    EXPECT_EQ(decodeRoutes("[]"), std::vector<LearnedRoute>{});
    EXPECT_NE(routes[0].id, routes[1].id);  // a route is removed by its id
    const auto written = decodeRoutes(
        " [ {\"destination\": -5, \"extra\": [1,{\"x\":null}], \"source\" : 60,\n"
        "    \"isCC\": false, \"id\": \"0a1b2c3d-4e5f-6071-8293-A4B5C6D7E8F9\"} ] ");
    EXPECT_EQ(written, (std::vector<LearnedRoute>{{*Uuid::parse(kId), false, 60, -5}}));

    const std::string entry = good.substr(1, good.size() - 2);
    std::string huge = "[";
    while (huge.size() < (17u << 20)) huge += entry + ",";
    huge.back() = ']';
    const std::string cases[] = {
        "",
        "{}",
        "[" + entry + ",",
        good.substr(0, good.size() - 4),
        "[" + entry + ",{\"isCC\":true,\"source\":7,\"destination\":20}]",
        one(kId, "1", "7", "20"),
        one(kId, "true", "\"7\"", "20"),
        one(kId, "true", "7.5", "20"),
        one(kId, "true", "7", "9223372036854775808"),
        one(kId, "true", "-9223372036854775809", "1"),
        one("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F", "true", "7", "20"),
        one("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FG", "true", "7", "20"),
        one("0A1B2C3D4E5F-6071-8293-A4B5C6D7E8F9-", "true", "7", "20"),
        "[{\"id\":42,\"isCC\":true,\"source\":7,\"destination\":20}]",
        "[" + entry + ",[]]",
        std::string(100000, '[') + std::string(100000, ']'),
        "[" + std::string(1000, '{'),
        "[\"\xff\xfe\"]",
        huge,
    };
    for (const std::string& c : cases) {
        EXPECT_FALSE(decodeRoutes(c).has_value()) << c.substr(0, 120);
    }
}
