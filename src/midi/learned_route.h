#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "midi/midi_message.h"
#include "midi/uuid.h"

namespace tessaryn {

// A saved mapping from one incoming controller or note number to another.
struct LearnedRoute {
    Uuid id;
    bool isCC = false;
    std::int64_t source = 0;
    std::int64_t destination = 0;

    // Display text, e.g. "CC 7 → CC 20" or "Note 60 → Snare 38".
    std::string line() const;

    friend bool operator==(const LearnedRoute&, const LearnedRoute&) = default;
};

// A control captured while learning, not saved yet.
struct PendingLearn {
    bool isCC = false;
    std::int64_t source = 0;
    friend bool operator==(const PendingLearn&, const PendingLearn&) = default;
};

struct LearnedResult {
    MIDIMessage message;
    bool matched = false;
};

// Applies the first matching route (notes: 0x8n/0x9n, controllers: 0xBn) to the second byte.
LearnedResult applyLearned(const MIDIMessage& m, const std::vector<LearnedRoute>& routes);

// The stored JSON form of a route list: a compact array of {"id","isCC","source","destination"}.
std::string encodeRoutes(const std::vector<LearnedRoute>& routes);
// All or nothing: any damage gives no value. Never throws.
std::optional<std::vector<LearnedRoute>> decodeRoutes(std::string_view json);

}  // namespace tessaryn
