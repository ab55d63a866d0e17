#include "midi/learned_route.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "midi/drum_voice.h"

namespace tessaryn {

namespace {

// Deeper documents are refused before they reach the recursive parser.
constexpr int kMaxDepth = 64;
// A route list of any sensible size is far below this; larger input is refused unread.
constexpr std::size_t kMaxJsonBytes = 16u << 20;

bool nestingWithin(std::string_view json, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : json) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::optional<std::int64_t> integerField(const nlohmann::json& v) {
    if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<std::int64_t>();
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    return std::nullopt;  // floats (including 1e30 and 1.0) and every other type
}

}  // namespace

std::string LearnedRoute::line() const {
    if (isCC) return "CC " + std::to_string(source) + " → CC " + std::to_string(destination);
    std::string voice;
    if (auto name = DrumVoice::nameFor(destination)) voice = std::string(*name) + " ";
    return "Note " + std::to_string(source) + " → " + voice + std::to_string(destination);
}

LearnedResult applyLearned(const MIDIMessage& m, const std::vector<LearnedRoute>& routes) {
    if (m.size() < 2) return {m, false};
    const std::uint8_t kind = m[0] >> 4;
    bool wantCC;
    if (kind == 0x8 || kind == 0x9) {
        wantCC = false;
    } else if (kind == 0xB) {
        wantCC = true;
    } else {
        return {m, false};
    }
    const auto route = std::find_if(routes.begin(), routes.end(), [&](const LearnedRoute& r) {
        return r.isCC == wantCC && r.source == m[1];
    });
    if (route == routes.end()) return {m, false};
    MIDIMessage out = m;
    out[1] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(route->destination, 0, 127));
    return {std::move(out), true};
}

std::string encodeRoutes(const std::vector<LearnedRoute>& routes) {
    nlohmann::json array = nlohmann::json::array();
    for (const LearnedRoute& r : routes) {
        array.push_back({{"id", r.id.text()},
                         {"isCC", r.isCC},
                         {"source", r.source},
                         {"destination", r.destination}});
    }
    return array.dump();
}

std::optional<std::vector<LearnedRoute>> decodeRoutes(std::string_view json) {
    if (json.size() > kMaxJsonBytes || !nestingWithin(json, kMaxDepth)) return std::nullopt;
    const nlohmann::json doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!doc.is_array()) return std::nullopt;  // also what a parse failure gives (discarded)
    std::vector<LearnedRoute> routes;
    routes.reserve(doc.size());
    for (const nlohmann::json& e : doc) {
        if (!e.is_object()) return std::nullopt;
        const auto id = e.find("id");
        const auto isCC = e.find("isCC");
        const auto source = e.find("source");
        const auto destination = e.find("destination");
        if (id == e.end() || isCC == e.end() || source == e.end() || destination == e.end()) {
            return std::nullopt;
        }
        if (!id->is_string() || !isCC->is_boolean()) return std::nullopt;
        auto uuid = Uuid::parse(id->get_ref<const std::string&>());
        auto src = integerField(*source);
        auto dst = integerField(*destination);
        if (!uuid || !src || !dst) return std::nullopt;
        routes.push_back({*uuid, isCC->get<bool>(), *src, *dst});
    }
    return routes;
}

}  // namespace tessaryn
