#include <gtest/gtest.h>

#include "midi/learned_route.h"

using namespace tessaryn;

namespace {

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

struct Apply {
    MIDIMessage in, out;
    bool matched;
};

}  // namespace

TEST(LearnedRoutes, Apply) {
    const std::vector<LearnedRoute> routes{note(60, 38), cc(7, 20),    note(61, 200),
                                           note(62, -5), note(60, 36), cc(300, 1)};
    const Apply cases[] = {
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
    for (const Apply& c : cases) {
        const auto r = applyLearned(c.in, routes);
        EXPECT_EQ(r.message, c.out) << ::testing::PrintToString(c.in);
        EXPECT_EQ(r.matched, c.matched) << ::testing::PrintToString(c.in);
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
