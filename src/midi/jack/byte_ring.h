#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tessaryn {

// A lock-free byte ring between exactly one producer thread and one consumer thread; neither
// side allocates, locks or blocks, so either may be a realtime thread. The producer's bytes
// become visible to the consumer with the release store of head_; the consumer hands space
// back with the release store of tail_.
class ByteRing {
  public:
    // `capacity` must be a power of two. Locked in memory where the system allows, so the
    // realtime side never waits for a page.
    explicit ByteRing(std::size_t capacity) : bytes_(capacity), mask_(capacity - 1) {
        ::mlock(bytes_.data(), capacity);
    }
    ~ByteRing() { ::munlock(bytes_.data(), bytes_.size()); }
    ByteRing(const ByteRing&) = delete;
    ByteRing& operator=(const ByteRing&) = delete;

    // Producer side.
    std::size_t writeSpace() const {
        return bytes_.size() -
               (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire));
    }
    // `n` must not exceed writeSpace().
    void write(const void* from, std::size_t n) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        copy(head, n, [&](std::size_t at, std::size_t off, std::size_t len) {
            std::memcpy(&bytes_[at], static_cast<const std::uint8_t*>(from) + off, len);
        });
        head_.store(head + n, std::memory_order_release);
    }

    // Consumer side.
    std::size_t readSpace() const {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
    }
    // `n` must not exceed readSpace().
    void peek(void* to, std::size_t n) const {
        copy(tail_.load(std::memory_order_relaxed), n,
             [&](std::size_t at, std::size_t off, std::size_t len) {
                 std::memcpy(static_cast<std::uint8_t*>(to) + off, &bytes_[at], len);
             });
    }
    void skip(std::size_t n) {
        tail_.store(tail_.load(std::memory_order_relaxed) + n, std::memory_order_release);
    }
    void read(void* to, std::size_t n) {
        peek(to, n);
        skip(n);
    }

  private:
    // Calls `part(ring offset, byte offset, length)` for the one or two pieces of [from, from+n).
    template <typename Part>
    void copy(std::size_t from, std::size_t n, Part part) const {
        const std::size_t at = from & mask_;
        const std::size_t first = std::min(n, bytes_.size() - at);
        part(at, 0, first);
        if (first < n) part(0, first, n - first);
    }

    std::vector<std::uint8_t> bytes_;
    std::size_t mask_;
    alignas(64) std::atomic<std::size_t> head_{0};  // written by the producer only
    alignas(64) std::atomic<std::size_t> tail_{0};  // written by the consumer only
};

}  // namespace tessaryn
