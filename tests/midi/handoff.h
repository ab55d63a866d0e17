#pragma once
// Bytes and tasks handed over between a service's threads and the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "wait.h"

namespace tessaryn::testing {

using Bytes = std::vector<std::uint8_t>;

// Collects bytes handed over on another thread, each hand-over kept as one packet.
struct Inbox : Shared {
    std::vector<Bytes> packets;
    Bytes bytes;  // all packets, joined
    std::size_t want = 0;
    void add(std::span<const std::uint8_t> b) {
        std::lock_guard lock(m);
        packets.emplace_back(b.begin(), b.end());
        bytes.insert(bytes.end(), b.begin(), b.end());
        if (bytes.size() >= want) cv.notify_all();  // wake the waiter only once it has enough
    }
    Bytes joined() {
        std::lock_guard lock(m);
        return bytes;
    }
    std::vector<Bytes> events() {
        std::lock_guard lock(m);
        return packets;
    }
    bool waitBytes(std::size_t n, std::chrono::milliseconds timeout = 10s) {
        change([&] { want = n; });
        return waitUntil([&] { return bytes.size() >= n; }, timeout);
    }
    std::size_t received() {
        std::lock_guard lock(m);
        return bytes.size();
    }
    void clear() {
        std::lock_guard lock(m);
        packets.clear();
        bytes.clear();
    }
};

// A SysEx of `length` bytes, F0 and F7 included, with a pattern that shows any cut or shuffle.
inline Bytes sysex(std::size_t length) {
    Bytes m(length);
    m.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < length; ++i) m[i] = static_cast<std::uint8_t>((i * 7) & 0x7F);
    m.back() = 0xF7;
    return m;
}

inline Bytes joined(std::initializer_list<const Bytes*> messages) {
    Bytes all;
    for (const Bytes* m : messages) all.insert(all.end(), m->begin(), m->end());
    return all;
}

// The ID of the listed endpoint with this name, 0 when none.
template <typename Choices>  // a list of MIDIPortChoice
std::int32_t idOf(const Choices& list, const std::string& name) {
    const auto c = std::ranges::find(list, name, &Choices::value_type::name);
    return c == list.end() ? 0 : c->id;
}

}  // namespace tessaryn::testing
