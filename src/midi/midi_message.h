#pragma once

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

namespace tessaryn {

// One complete MIDI message, status byte first; a SysEx message runs from 0xF0 to 0xF7.
// A value like a byte vector, but one of up to kInline bytes (every message but a SysEx) is kept
// in place: the message paths make and copy them without touching the heap.
class MIDIMessage {
  public:
    static constexpr std::size_t kInline = 20;

    using value_type = std::uint8_t;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = std::uint8_t&;
    using const_reference = const std::uint8_t&;
    using iterator = std::uint8_t*;
    using const_iterator = const std::uint8_t*;

    MIDIMessage() = default;
    MIDIMessage(std::initializer_list<std::uint8_t> bytes)
        : MIDIMessage(std::span(bytes.begin(), bytes.size())) {}
    explicit MIDIMessage(std::span<const std::uint8_t> bytes) { assign(bytes); }
    template <std::contiguous_iterator It>
    MIDIMessage(It first, It last) : MIDIMessage(std::span<const std::uint8_t>(first, last)) {}

    MIDIMessage(const MIDIMessage&) = default;
    MIDIMessage& operator=(const MIDIMessage&) = default;
    // A message moved from is empty, never a size without its bytes.
    MIDIMessage(MIDIMessage&& o) noexcept
        : size_(std::exchange(o.size_, 0)), inline_(o.inline_), heap_(std::move(o.heap_)) {}
    MIDIMessage& operator=(MIDIMessage&& o) noexcept {
        size_ = std::exchange(o.size_, 0);
        inline_ = o.inline_;
        heap_ = std::move(o.heap_);
        return *this;
    }

    void assign(std::span<const std::uint8_t> bytes) {
        size_ = static_cast<std::uint32_t>(bytes.size());
        if (size_ <= kInline) {
            heap_ = {};  // a short message after a long one holds on to none of its room
            std::copy(bytes.begin(), bytes.end(), inline_.begin());
        } else {
            heap_.assign(bytes.begin(), bytes.end());
        }
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::uint8_t* data() { return size_ <= kInline ? inline_.data() : heap_.data(); }
    const std::uint8_t* data() const { return size_ <= kInline ? inline_.data() : heap_.data(); }
    iterator begin() { return data(); }
    iterator end() { return data() + size_; }
    const_iterator begin() const { return data(); }
    const_iterator end() const { return data() + size_; }
    std::uint8_t& operator[](std::size_t i) { return data()[i]; }
    std::uint8_t operator[](std::size_t i) const { return data()[i]; }
    operator std::span<const std::uint8_t>() const { return {data(), size_}; }

    friend bool operator==(const MIDIMessage& a, const MIDIMessage& b) {
        return std::ranges::equal(a, b);
    }
    friend std::strong_ordering operator<=>(const MIDIMessage& a, const MIDIMessage& b) {
        return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
    }

  private:
    std::uint32_t size_ = 0;
    std::array<std::uint8_t, kInline> inline_{};
    std::vector<std::uint8_t> heap_;  // the bytes when there are more than kInline
};

}  // namespace tessaryn
