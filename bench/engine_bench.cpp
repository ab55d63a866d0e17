// The engine end to end with the loopback MIDI service and a pseudo-terminal board:
// latency from the board's write to the virtual source, sustained throughput, idle cost.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <new>
#include <thread>

#include "bridge/bridge.h"
#include "bridge/message_path.h"
#include "bridge/run_loop.h"
#include "device_reader.h"
#include "figures.h"
#include "midi/loopback/loopback_midi.h"
#include "serial/pty.h"

using namespace std::chrono;
using namespace tessaryn;
using tessaryn::bench::percentile;

namespace {

// Every allocation in the process: the figures below are taken while only the bridge works.
std::atomic<std::uint64_t> allocations{0};

}  // namespace

// These replacements pair malloc with free, which GCC takes for a mismatch of new and free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

struct Usage {
    double cpu;
    long voluntary;
    static Usage now() {
        rusage r{};
        getrusage(RUSAGE_SELF, &r);
        return {static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                    static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6,
                r.ru_nvcsw};
    }
};

// The message paths alone with the echo guard on and 100,000 messages a second each way: the
// guard remembers the last 50 ms of each direction (5,000 messages), and every message is looked
// up among the other direction's.
void echoGuardUnderFloodBothWays() {
    MessagePath path;
    const int n = 200000;
    const auto t0 = steady_clock::now();
    for (int i = 0; i < n; ++i) {
        const double now = i * 10e-6;
        const MIDIMessage fromBoard{0x99, static_cast<std::uint8_t>(i % 128), 0x40};
        path.fromDevice(std::span(&fromBoard, 1), now);
        path.fromMIDI(
            {{0xB0, static_cast<std::uint8_t>(i % 120), static_cast<std::uint8_t>(i % 128)}}, now);
    }
    std::printf("message paths with the echo guard, 100,000 msg/s each way: %.0f ns per message\n",
                duration<double, std::nano>(steady_clock::now() - t0).count() / (2 * n));
}

// A MIDI system that takes every message and keeps none (the loopback hub keeps a copy of each),
// and whose receive thread is the caller's.
class Sink final : public MIDIService {
  public:
    explicit Sink(Handlers h) : handlers(std::move(h)) {}
    std::int32_t ownSourceID() const override { return 1; }
    std::int32_t ownDestinationID() const override { return 2; }
    std::vector<Endpoint> sources() override { return {}; }
    std::vector<Endpoint> destinations() override { return {}; }
    void publish(std::span<const std::uint8_t>) override { arrived(1); }
    bool sendTo(std::int32_t, std::span<const std::uint8_t>) override { return false; }
    void publishAll(std::span<const MIDIMessage> messages, std::int32_t) override {
        arrived(messages.size());
    }
    bool connectSource(std::int32_t) override { return false; }
    void disconnectSource() override {}

    bool waitPublished(std::size_t count) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, seconds(10), [&] { return published_ >= count; });
    }

    Handlers handlers;

  private:
    void arrived(std::size_t n) {
        std::lock_guard lock(m_);
        published_ += n;
        cv_.notify_all();
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::size_t published_ = 0;
};

void onMain(RunLoop& main, const std::function<void()>& f) {
    std::promise<void> done;
    main.post([&] {
        f();
        done.set_value();
    });
    done.get_future().wait();
}

// Heap allocations per message in steady state on both paths, everything on (echo guard,
// remapping), with the monitor hidden (headless, window hidden) and shown.
void allocationsPerMessage(const std::filesystem::path& dir) {
    RunLoop main;
    std::thread loop([&] { main.run(); });
    testing::Pty pty;
    bench::DeviceReader device(pty.master);
    Sink* sink = nullptr;
    std::shared_ptr<Bridge> bridge;
    onMain(main, [&] {
        bridge = Bridge::create(main, std::make_shared<Preferences>(dir),
                                [&](const std::string&, MIDIService::Handlers h) {
                                    auto s = std::make_unique<Sink>(std::move(h));
                                    sink = s.get();
                                    return std::unique_ptr<MIDIService>(std::move(s));
                                });
        bridge->start(pty.path, {2000000});
    });
    const int dense = 20000, single = 300;
    std::vector<std::vector<std::uint8_t>> notes;
    std::vector<std::uint8_t> stream;  // the same notes in one write
    for (int i = 0; i < dense; ++i) {
        notes.push_back(
            {0x99, static_cast<std::uint8_t>(i % 128), static_cast<std::uint8_t>(1 + i % 127)});
        stream.insert(stream.end(), notes.back().begin(), notes.back().end());
    }
    std::size_t published = 0;
    auto perMessage = [](std::uint64_t from, int n) {
        return static_cast<double>(allocations.load() - from) / n;
    };
    // Each figure is taken with traffic flowing: after a pass that brings buffers and tables to
    // their working size, and with the echo window full. Dense: many messages to a read; one at
    // a time: each alone in its read; toward the device: one event to a hand-off.
    for (const bool shown : {false, true}) {
        onMain(main, [&] { bridge->setMonitorShown(shown); });
        pty.send(stream);
        sink->waitPublished(published += dense);
        auto a0 = allocations.load();
        pty.send(stream);
        sink->waitPublished(published += dense);
        const double burst = perMessage(a0, dense);

        a0 = allocations.load();
        for (int i = 0; i < single; ++i) {
            pty.send(notes[static_cast<std::size_t>(i)]);
            sink->waitPublished(++published);
        }
        const double one = perMessage(a0, single);

        // As a drummer plays: each message alone in the main thread's gathering too.
        const int paced = 40;
        a0 = allocations.load();
        for (int i = 0; i < paced; ++i) {
            pty.send(notes[static_cast<std::size_t>(i)]);
            sink->waitPublished(++published);
            std::this_thread::sleep_for(milliseconds(25));
        }
        const double human = perMessage(a0, paced);
        std::this_thread::sleep_for(milliseconds(60));  // the echo windows close

        double toDevice = 0;
        for (int pass = 0; pass < 2; ++pass) {
            device.reset();
            a0 = allocations.load();
            for (const auto& m : notes) {
                const MIDIService::Event event{7, m};
                sink->handlers.received(std::span(&event, 1), false);
            }
            device.waitMessages(dense, seconds(2));
            toDevice = perMessage(a0, dense);
        }
        std::this_thread::sleep_for(milliseconds(60));
        std::printf(
            "allocations per message, monitor %s: device -> MIDI %.3f (dense), %.3f (one at a "
            "time), %.2f (one every 25 ms, mostly the main thread's); MIDI -> device %.3f\n",
            shown ? "shown" : "hidden", burst, one, human, toDevice);
    }
    onMain(main, [&] {
        bridge->stop();
        bridge.reset();
        main.quit();
    });
    loop.join();
}

}  // namespace

int main() {
    echoGuardUnderFloodBothWays();
    const auto dir =
        std::filesystem::temp_directory_path() / ("tessaryn-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    allocationsPerMessage(dir);
    RunLoop main;
    std::thread loop([&] { main.run(); });
    auto hub = std::make_shared<LoopbackHub>();
    testing::Pty pty;
    std::shared_ptr<Bridge> bridge;
    {
        std::promise<void> ready;
        main.post([&] {
            bridge = Bridge::create(main, std::make_shared<Preferences>(dir), hub->factory());
            bridge->setBlockEcho(false);
            bridge->start(pty.path, {2000000});
            ready.set_value();
        });
        ready.get_future().wait();
    }

    // (a) latency, one note at a time
    std::vector<double> us;
    for (int i = 0; i < 2000; ++i) {
        const std::size_t before = hub->published().size();
        const auto t0 = steady_clock::now();
        pty.send({0x90, static_cast<std::uint8_t>(i % 128), 0x64});
        hub->waitForPublished(before + 1);
        us.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
    }
    std::printf(
        "engine latency (pty write -> published on the virtual source), 2000 notes: median %.1f "
        "us, p99 %.1f us\n",
        percentile(us, 0.5), percentile(us, 0.99));

    // (b) dense note traffic
    hub->clear();
    const int notes = 200000;
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < notes; ++i)
        stream.insert(stream.end(), {0x99, static_cast<std::uint8_t>(i % 128), 0x64});
    const Usage u0 = Usage::now();
    const auto t0 = steady_clock::now();
    pty.send(stream);
    hub->waitForPublished(notes, seconds(60));
    const double s = duration<double>(steady_clock::now() - t0).count();
    const Usage u1 = Usage::now();
    const auto got = hub->published().size();
    std::printf(
        "throughput: %d notes (%.1f MB) in %.2f s = %.0f messages/s, lost %d, CPU %.2f s per MB "
        "(whole process)\n",
        notes, static_cast<double>(stream.size()) / 1e6, s, static_cast<double>(got) / s,
        notes - static_cast<int>(got),
        (u1.cpu - u0.cpu) / (static_cast<double>(stream.size()) / 1e6));

    // (d) toward the device: a burst with nothing holding it back, then 64 notes in flight.
    {
        bench::DeviceReader device(pty.master);
        auto note = [](int i) {
            return LoopbackHub::Bytes{0x90, static_cast<std::uint8_t>(i % 128), 0x40};
        };
        const int burst = 20000;
        const Usage b0 = Usage::now();
        for (int i = 0; i < burst; ++i) hub->sendToVirtualIn(note(i));
        const auto delivered = device.waitMessages(burst, seconds(2));
        const Usage b1 = Usage::now();
        std::printf(
            "MIDI -> device, %d notes unthrottled: delivered %zu, lost %zu, CPU %.2f s per MB "
            "(whole process)\n",
            burst, delivered, burst - delivered, (b1.cpu - b0.cpu) / (burst * 3 / 1e6));

        device.reset();
        const int total = 20000, window = 64;
        std::vector<steady_clock::time_point> sent(total);
        const auto f0 = steady_clock::now();
        for (int i = 0; i < total; ++i) {
            if (i >= window)
                device.waitMessages(static_cast<std::size_t>(i - window + 1), seconds(2));
            sent[static_cast<std::size_t>(i)] = steady_clock::now();
            hub->sendToVirtualIn(note(i));
        }
        const auto got = device.waitMessages(total, seconds(2));
        const double fs = duration<double>(steady_clock::now() - f0).count();
        const auto at = device.arrivals();
        std::vector<double> lat;
        for (std::size_t i = 0; i < at.size(); ++i)
            lat.push_back(duration<double, std::micro>(at[i] - sent[i]).count());
        std::printf(
            "MIDI -> device, %d notes, %d in flight: %.0f messages/s, p50 %.1f us, lost %zu\n",
            total, window, static_cast<double>(got) / fs, percentile(lat, 0.5), total - got);
    }

    // (c) idle
    std::this_thread::sleep_for(
        seconds(2));  // let the feedback of the burst drain and the light go out
    const Usage i0 = Usage::now();
    std::this_thread::sleep_for(seconds(10));
    const Usage i1 = Usage::now();
    std::printf(
        "idle 10 s while running: CPU %.4f s, voluntary context switches %ld (whole process)\n",
        i1.cpu - i0.cpu, i1.voluntary - i0.voluntary);

    std::promise<void> done;
    main.post([&] {
        bridge->stop();
        bridge.reset();
        main.quit();
        done.set_value();
    });
    done.get_future().wait();
    loop.join();
    std::filesystem::remove_all(dir);
}
