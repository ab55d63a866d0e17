// End to end: the real `tessaryn --headless` on a pseudo-terminal, measured from an ALSA client
// of our own. Run inside the test VM (scripts/bench-e2e.sh); the figures there are emulated, so
// the sequencer's own round trip through "Midi Through" is printed beside them, and the kernel's
// own path from raw bytes to events (a virtual MIDI card) beside the device -> MIDI rows.
//
// usage: bench_e2e PATH-TO-TESSARYN [latency] [quiet] [stages] [syscalls] [sigterm]
//   latency: only the two latency rows, for comparing builds over many runs
//   quiet: run the bridge with --quiet (by default it prints its monitor, as `--headless` does)
//   stages: where row 1's time goes; needs a program built with -DTESSARYN_STAGE_TIMES=ON
//   syscalls: the system calls of each thread during row 1, per message (needs strace)
//   sigterm: only row 10, how long SIGTERM takes under load
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "../bench/device_reader.h"
#include "midi/alsa_peer.h"
#include "serial/pty.h"

using namespace std::chrono;
using namespace tessaryn::testing;
namespace fs = std::filesystem;

namespace {

// The sequencer port of the first virtual card's first device (snd-virmidi, loaded in the VM).
const char* const kVirmidiPort = "VirMIDI 0-0";

struct Stats {
    double min, median, p99, max;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return {0, 0, 0, 0};
    return {v.front(), v[v.size() / 2],
            v[static_cast<std::size_t>(0.99 * static_cast<double>(v.size() - 1))], v.back()};
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "bench_e2e: %s\n", why.c_str());
    std::exit(1);
}

// The bridge under test, ended by its PID whatever happens.
class Child {
  public:
    // `blockedStdout`: its stdout is a pipe that nobody reads, as a paused terminal is.
    Child(const std::string& exe, const std::vector<std::string>& args,
          bool blockedStdout = false) {
        if (blockedStdout && ::pipe2(unread_, O_CLOEXEC) != 0) fail("cannot make a pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            // The monitor lines it prints cost it their making, not their terminal.
            ::dup2(blockedStdout ? unread_[1] : ::open("/dev/null", O_WRONLY), STDOUT_FILENO);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~Child() {
        stop();
        for (const int fd : unread_)
            if (fd >= 0) ::close(fd);
    }
    // SIGTERM, then SIGKILL if it is not gone in 2 s: the milliseconds it took and its exit
    // status.
    std::pair<double, int> stop() {
        if (pid_ < 0) return {0, -1};
        const auto t0 = steady_clock::now();
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 2000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(1ms);
        const double ms = duration<double, std::milli>(steady_clock::now() - t0).count();
        if (::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return {ms, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }
    pid_t pid() const { return pid_; }
    // CPU seconds (user + system) so far.
    double cpu() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string f;
        long utime = 0, stime = 0;
        for (int i = 3; fields >> f; ++i) {
            if (i == 14) utime = std::stol(f);
            if (i == 15) {
                stime = std::stol(f);
                break;
            }
        }
        return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    long status(const std::string& key) const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
        }
        return -1;
    }
    long switches() const {
        long total = 0;
        for (const auto& [thread, n] : switchesByThread()) total += n;
        return total;
    }
    // Voluntary context switches (sleeps) of each thread, by thread name.
    std::map<std::string, long> switchesByThread() const {
        std::map<std::string, long> out;
        for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task")) {
            std::ifstream in(t.path() / "status");
            std::string name;
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("Name:", 0) == 0) name = line.substr(6);
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                    out[name] += std::stol(line.substr(24));
            }
        }
        return out;
    }

  private:
    pid_t pid_ = -1;
    int unread_[2] = {-1, -1};
};

// A note from `peer` straight to one port, without a lookup per message. False when the
// sequencer refused it (the receiver's pool was full).
bool sendNote(Peer& peer, const Peer::Found& to, int i) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_noteon(&ev, 0, i % 128, 0x40);
    snd_seq_ev_set_source(&ev, peer.port);
    snd_seq_ev_set_dest(&ev, to.client, to.port);
    snd_seq_ev_set_direct(&ev);
    return snd_seq_event_output_direct(peer.seq, &ev) >= 0;
}

// CPU seconds (user + system) of the calling thread so far.
double threadCPU() {
    rusage r{};
    ::getrusage(RUSAGE_THREAD, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Busy CPU seconds of the whole machine so far, every CPU, all but idle and I/O wait: a path
// whose work runs partly in kernel threads is measured whole (the virtual card turns bytes into
// events in a kernel worker, not in the writer's write()).
double machineCPU() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    in >> cpu;
    long long busy = 0, v = 0;
    for (int field = 0; field < 8 && in >> v; ++field) busy += field == 3 || field == 4 ? 0 : v;
    return static_cast<double>(busy) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void row(const char* what, const Stats& s, const std::string& extra = "") {
    std::printf("| %-40s | %8.1f | %8.1f | %8.1f | %8.1f | %s\n", what, s.min, s.median, s.p99,
                s.max, extra.c_str());
}

// Twenty readers that take one event every 50 ms from queues of 200.
std::vector<std::unique_ptr<Peer>> slowReaders() {
    std::vector<std::unique_ptr<Peer>> slow;
    for (int i = 0; i < 20; ++i)
        slow.push_back(std::make_unique<Peer>(("Slow " + std::to_string(i)).c_str(), 200, 50ms));
    return slow;
}

// 10. SIGTERM under every load at once: MIDI flooding in, the device sending to our reader and 20
// slow ones, and stdout that nobody reads. Ten fresh runs, each holding a note (remapped, so that
// it is remembered and released).
void sigtermUnderLoad(const char* exe, std::vector<std::string> args, Peer& client) {
    std::erase(args, std::string("--quiet"));
    std::replace(args.begin(), args.end(), std::string("remapNotes=false"),
                 std::string("remapNotes=true"));
    const auto slow = slowReaders();
    std::vector<double> ms;
    int clean = 0, released = 0;
    const auto port = std::find(args.begin(), args.end(), std::string("--port")) + 1;
    for (int run = 0; run < 10; ++run) {
        Pty device;
        *port = device.path;
        Child term(exe, args, true);
        Peer::Found in{-1, 0};
        for (int i = 0; i < 500 && in.client < 0; ++i, std::this_thread::sleep_for(10ms))
            in = client.find("Halvenor In");
        client.subscribeTo("Halvenor Out");
        for (auto& p : slow) p->subscribeTo("Halvenor Out");
        // Bridging once a control change comes through (what came before its port opened is
        // flushed); then the note to hold.
        client.inbox.clear();
        for (int i = 0; i < 100 && !client.inbox.waitBytes(3, 50ms); ++i)
            device.send({0xB0, 0x07, 0x00});
        device.send({0x90, 0x3C, 0x64});
        std::atomic<bool> go{true};
        std::thread flood([&] {
            for (int i = 0; go; ++i) sendNote(client, in, i);
        });
        std::thread pad([&] {
            for (std::uint8_t v = 0; go; v = (v + 1) & 0x7F) {
                device.send({0xB0, 0x07, v});
                std::this_thread::sleep_for(1ms);
            }
        });
        std::this_thread::sleep_for(200ms);
        const auto [took, code] = term.stop();
        go = false;
        flood.join();
        pad.join();
        ms.push_back(took);
        clean += code == 0;
        const Bytes got = client.inbox.joined(), off{0x80, 0x26, 0x00};
        released += std::search(got.begin(), got.end(), off.begin(), off.end()) != got.end();
    }
    row("10. SIGTERM under every load: ms to exit", stats(ms),
        "exit 0 in " + std::to_string(clean) + " of 10, the held note released in " +
            std::to_string(released) + " of 10");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        fail("usage: bench_e2e PATH-TO-TESSARYN [latency] [quiet] [stages] [syscalls] [sigterm]");
    bool latencyOnly = false, quiet = false, staged = false, syscalls = false, sigterm = false;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        latencyOnly = latencyOnly || a == "latency";
        quiet = quiet || a == "quiet";
        staged = staged || a == "stages";
        syscalls = syscalls || a == "syscalls";
        sigterm = sigterm || a == "sigterm";
    }
    const fs::path config =
        fs::temp_directory_path() / ("tessaryn-e2e-" + std::to_string(::getpid()));
    Pty pty;
    // Distinct notes must stay distinct, so nothing is remapped; echoes are not in play.
    std::vector<std::string> args{"--headless",       "--config-dir", config.string(),  "--port",
                                  pty.path,           "--baud",       "2000000",        "--set",
                                  "remapNotes=false", "--set",        "blockEcho=false"};
    if (quiet) args.push_back("--quiet");
    const fs::path stageFile = config.string() + ".stages";
    if (staged) ::setenv("TESSARYN_STAGE_TIMES", stageFile.c_str(), 1);
    std::optional<Child> running(std::in_place, argv[1], args);
    Child& bridge = *running;
    Peer client("Bench");
    for (int i = 0; client.find("Halvenor Out").client < 0; ++i) {
        if (i > 500) fail("\"Halvenor Out\" never appeared");
        std::this_thread::sleep_for(10ms);
    }
    client.subscribeTo("Halvenor Out");
    std::this_thread::sleep_for(300ms);
    if (sigterm) {
        running.reset();
        sigtermUnderLoad(argv[1], args, client);
        fs::remove_all(config);
        return 0;
    }

    std::printf(
        "tessaryn end to end, inside an emulated VM (all times in microseconds; emulated)\n");
    std::printf("| %-40s | %8s | %8s | %8s | %8s |\n", "path", "min", "median", "p99", "max");

    // Yardstick: the sequencer's own hop through "Midi Through".
    {
        Peer echo("Yardstick");
        echo.subscribeTo("Midi Through Port-0");
        std::vector<double> us;
        for (int i = 0; i < 2000; ++i) {
            const std::size_t before = echo.inbox.received();
            const auto t0 = steady_clock::now();
            echo.sendTo("Midi Through Port-0", {0x90, static_cast<std::uint8_t>(i % 128), 0x40});
            if (!echo.inbox.waitBytes(before + 3, 2s)) fail("Midi Through lost a message");
            us.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
        }
        row("yardstick: client -> Midi Through -> client", stats(us));
    }

    // Sleeps of each bridge thread per message: how many wake-ups one message costs.
    auto wakeups = [&](const std::map<std::string, long>& before, double messages = 2000) {
        std::string text = "wake-ups per message:";
        for (const auto& [thread, n] : bridge.switchesByThread()) {
            const auto was = before.find(thread);
            char figure[64];
            std::snprintf(
                figure, sizeof figure, " %s %.2f", thread.c_str(),
                static_cast<double>(n - (was == before.end() ? 0 : was->second)) / messages);
            text += figure;
        }
        return text;
    };

    // 1 and 2: one note every 2 ms, as a player's hits come, each timed on its own.
    constexpr auto kSpacing = 2ms;

    // 1. Serial to MIDI. Each note's sending and arrival times, on the monotonic clock.
    std::vector<std::int64_t> sentAt, gotAt;
    {
        const auto sleeps = bridge.switchesByThread();
        std::optional<Child> tracer;
        const fs::path traceFile = config.string() + ".strace";
        if (syscalls) {
            tracer.emplace(
                "/usr/bin/strace",
                std::vector<std::string>{"-f", "-c", "-U", "name,calls", "-S", "name", "-o",
                                         traceFile.string(), "-p", std::to_string(bridge.pid())});
            std::this_thread::sleep_for(500ms);  // attached to every thread
        }
        std::vector<double> us;
        int lost = 0, corrupt = 0;
        const auto first = steady_clock::now();
        auto ns = [](steady_clock::time_point t) {
            return duration_cast<nanoseconds>(t.time_since_epoch()).count();
        };
        for (int i = 0; i < 2000; ++i) {
            std::this_thread::sleep_until(first + i * kSpacing);
            const Bytes note{0x90, static_cast<std::uint8_t>(i % 128),
                             static_cast<std::uint8_t>(1 + i % 126)};
            const std::size_t before = client.inbox.received();
            const auto t0 = steady_clock::now();
            pty.send(note);
            if (!client.inbox.waitBytes(before + 3, 2s)) {
                ++lost;
                continue;
            }
            const auto t1 = steady_clock::now();
            us.push_back(duration<double, std::micro>(t1 - t0).count());
            sentAt.push_back(ns(t0));
            gotAt.push_back(ns(t1));
            const Bytes all = client.inbox.joined();
            if (!std::equal(note.begin(), note.end(), all.end() - 3)) ++corrupt;
        }
        row("1. serial -> MIDI (2000 notes, 2 ms apart)", stats(us),
            "lost " + std::to_string(lost) + ", corrupted " + std::to_string(corrupt) + "; " +
                wakeups(sleeps));
        if (tracer) {
            ::kill(tracer->pid(), SIGINT);
            tracer.reset();
            std::ifstream in(traceFile);
            std::printf("   system calls of the bridge per message during row 1:");
            for (std::string line; std::getline(in, line);) {
                std::istringstream fields(line);
                std::string name;
                long calls = 0;
                if (fields >> name >> calls && name.find_first_of("-") == std::string::npos &&
                    name != "syscall" && name != "total")
                    std::printf(" %s %.2f", name.c_str(), static_cast<double>(calls) / 2000);
                if (name == "total") std::printf("; all %.2f", static_cast<double>(calls) / 2000);
            }
            std::printf("\n");
            fs::remove(traceFile);
        }
    }
    // 1k. The kernel's own path from bytes to sequencer events (snd-virmidi), beside row 1: a
    // program writing raw MIDI to a virtual card, read as events by a client like ours.
    Peer kernelReader("Kernel reader");
    const int virmidi = ::open("/dev/snd/midiC0D0", O_WRONLY | O_CLOEXEC);
    const bool kernelPath = !staged && virmidi >= 0 && kernelReader.find(kVirmidiPort).client >= 0;
    if (kernelPath) {
        kernelReader.subscribeTo(kVirmidiPort);
        std::vector<double> us;
        const auto first = steady_clock::now();
        for (int i = 0; i < 2000; ++i) {
            std::this_thread::sleep_until(first + i * kSpacing);
            const std::uint8_t note[3] = {0x90, static_cast<std::uint8_t>(i % 128),
                                          static_cast<std::uint8_t>(1 + i % 126)};
            const std::size_t before = kernelReader.inbox.received();
            const auto t0 = steady_clock::now();
            if (::write(virmidi, note, 3) != 3) fail("cannot write to the virtual MIDI card");
            if (!kernelReader.inbox.waitBytes(before + 3, 2s)) continue;
            us.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
        }
        row("1k. the kernel's path, virmidi -> MIDI", stats(us),
            "lost " + std::to_string(2000 - us.size()));
    }

    if (staged) {
        // Where each note's time went: the bridge's marks are written when it ends.
        running.reset();
        std::array<std::vector<std::int64_t>, 3> at;
        std::ifstream in(stageFile);
        for (int stage; in >> stage;) {
            std::size_t i;
            long long t;
            in >> i >> t;
            if (stage >= 0 && stage < 3) at[static_cast<std::size_t>(stage)].push_back(t);
        }
        fs::remove(stageFile);
        if (at[0].size() != sentAt.size() || at[2].size() != sentAt.size())
            fail(
                "the stage marks do not match the notes (was the program built with "
                "-DTESSARYN_STAGE_TIMES=ON?)");
        auto step = [&](const std::vector<std::int64_t>& from,
                        const std::vector<std::int64_t>& to) {
            std::vector<double> us;
            for (std::size_t i = 0; i < from.size(); ++i)
                us.push_back(static_cast<double>(to[i] - from[i]) / 1000.0);
            return stats(us);
        };
        row("   pty write -> read returns", step(sentAt, at[0]));
        row("   read returns -> parsed", step(at[0], at[1]));
        row("   parsed -> handed to the sequencer", step(at[1], at[2]));
        row("   handed to the sequencer -> reader has it", step(at[2], gotAt));
        fs::remove_all(config);
        return 0;
    }

    // 2. MIDI to serial.
    {
        const auto sleeps = bridge.switchesByThread();
        std::vector<double> us;
        int lost = 0, corrupt = 0;
        const auto first = steady_clock::now();
        for (int i = 0; i < 2000; ++i) {
            std::this_thread::sleep_until(first + i * kSpacing);
            const Bytes note{0x90, static_cast<std::uint8_t>(i % 128),
                             static_cast<std::uint8_t>(1 + i % 126)};
            const auto t0 = steady_clock::now();
            client.sendTo("Halvenor In", note);
            const Bytes got = pty.receive(3, 2000ms);
            if (got.size() < 3) {
                ++lost;
                continue;
            }
            us.push_back(duration<double, std::micro>(steady_clock::now() - t0).count());
            if (got != note) ++corrupt;
        }
        row("2. MIDI -> serial (2000 notes, 2 ms apart)", stats(us),
            "lost " + std::to_string(lost) + ", corrupted " + std::to_string(corrupt) + "; " +
                wakeups(sleeps));
    }

    if (latencyOnly) {
        fs::remove_all(config);
        return 0;
    }

    // 3. Throughput: dense notes, then a mixed stream with 10% SysEx of 100 bytes.
    double pathCPUPerMB = 0;  // the machine's, in the last throughput row
    auto throughput = [&](const char* what, const Bytes& stream, std::size_t messages) {
        client.inbox.clear();
        const double cpu0 = bridge.cpu(), machine0 = machineCPU();
        const auto t0 = steady_clock::now();
        std::thread writer([&] { pty.send(stream); });
        const bool all = client.inbox.waitBytes(stream.size(), 120s);
        const double s = duration<double>(steady_clock::now() - t0).count();
        writer.join();
        const double cpu = bridge.cpu() - cpu0, machine = machineCPU() - machine0;
        const bool same = client.inbox.joined() == stream;
        const double mb = static_cast<double>(stream.size()) / 1e6;
        pathCPUPerMB = machine / mb;
        std::printf(
            "| %-40s | %.0f messages/s, lost bytes %zu (reader overflows %d), %s, bridge CPU %.2f "
            "s per MB, the machine's %.2f (writer, pty, bridge and reader)\n",
            what, static_cast<double>(messages) / s,
            all ? 0 : stream.size() - client.inbox.received(), client.overflows.load(),
            same ? "in order" : "DIFFERENT", cpu / mb, pathCPUPerMB);
    };
    {
        Bytes notes;
        for (int i = 0; i < 200000; ++i)
            notes.insert(notes.end(), {0x90, static_cast<std::uint8_t>(i % 128), 0x40});
        throughput("3a. 200,000 notes as fast as the pty takes", notes, 200000);
        if (kernelPath) {
            // The writer's write() only queues the bytes; a kernel worker turns them into events
            // and delivers them, so the path's CPU is the machine's.
            kernelReader.inbox.clear();
            double cpu = 0, took = 0;
            const double machine0 = machineCPU();
            std::thread writer([&] {
                const auto t0 = steady_clock::now();
                const double cpu0 = threadCPU();
                for (std::size_t at = 0; at < notes.size();) {
                    const ssize_t n = ::write(virmidi, notes.data() + at,
                                              std::min<std::size_t>(4096, notes.size() - at));
                    if (n <= 0) break;
                    at += static_cast<std::size_t>(n);
                }
                cpu = threadCPU() - cpu0;
                took = duration<double>(steady_clock::now() - t0).count();
            });
            // The worker delivers right after the writes: what has not arrived soon never will.
            const bool all = kernelReader.inbox.waitBytes(notes.size(), 5s);
            writer.join();
            const double mb = static_cast<double>(notes.size()) / 1e6,
                         machine = (machineCPU() - machine0) / mb;
            std::printf(
                "| %-40s | %.0f messages/s, lost bytes %zu, %s, writer CPU %.2f s per MB, the "
                "machine's %.2f (writer, kernel worker and reader; the bridge's path above: "
                "%.2fx)\n",
                "3k. the same through the kernel's path", 200000 / took,
                all ? 0 : notes.size() - kernelReader.inbox.received(),
                kernelReader.inbox.joined() == notes ? "in order" : "DIFFERENT", cpu / mb, machine,
                pathCPUPerMB / machine);
        }
        Bytes mixed;
        std::size_t count = 0;
        for (int i = 0; i < 50000; ++i, ++count) {
            if (i % 10 == 9) {
                mixed.push_back(0xF0);
                for (int k = 0; k < 98; ++k) mixed.push_back(static_cast<std::uint8_t>(k));
                mixed.push_back(0xF7);
            } else {
                mixed.insert(mixed.end(), {0xB0, static_cast<std::uint8_t>(i % 120), 0x40});
            }
        }
        throughput("3b. 50,000 messages, 10% SysEx of 100 bytes", mixed, count);
    }

    // 4. Paced SysEx toward the device.
    {
        Bytes sysex(3000, 0x11);
        sysex.front() = 0xF0;
        sysex.back() = 0xF7;
        std::vector<steady_clock::time_point> at;
        const auto t0 = steady_clock::now();
        client.sendTo("Halvenor In", sysex);
        Bytes got;
        while (got.size() < sysex.size()) {
            const Bytes part = pty.receive(1, 2000ms);
            if (part.empty()) break;
            at.push_back(steady_clock::now());
            got.insert(got.end(), part.begin(), part.end());
        }
        std::vector<double> dev;
        for (std::size_t i = 1; i < at.size(); ++i) {
            dev.push_back(
                std::abs(duration<double, std::micro>(at[i] - at[i - 1]).count() - 320.0));
        }
        row("4. paced SysEx, |interval - 320 us|", stats(dev),
            "total " +
                std::to_string(static_cast<int>(
                    duration<double, std::milli>((at.empty() ? t0 : at.back()) - t0).count())) +
                " ms, lost " + std::to_string(sysex.size() - got.size()) +
                (got == sysex ? ", whole" : ", DIFFERENT"));
    }

    // 7. MIDI to the device: a burst with nothing holding it back, then 64 notes in flight. A
    // plain reader subscribed beside the bridge gets the same events: what the sequencer itself
    // makes a reader lose.
    {
        tessaryn::bench::DeviceReader device(pty.master);
        Peer sender("Sender");
        Peer beside("Beside");
        const auto in = sender.find("Halvenor In");
        if (in.client < 0) fail("\"Halvenor In\" is missing");
        const Peer::Found plain{snd_seq_client_id(beside.seq), beside.port};
        std::this_thread::sleep_for(100ms);

        const int burst = 20000;
        int refused = 0, refusedBeside = 0;
        const double cpu0 = bridge.cpu();
        for (int i = 0; i < burst; ++i) {
            refused += !sendNote(sender, in, i);
            refusedBeside += !sendNote(sender, plain, i);
        }
        const auto delivered = device.waitMessages(burst, 3000ms);
        const double cpu = bridge.cpu() - cpu0;
        beside.inbox.waitBytes(burst * 3, 1s);
        const long besideGot = static_cast<long>(beside.inbox.received() / 3);
        std::printf(
            "| %-40s | delivered %zu, lost %zu (%d refused by the sequencer); a plain reader "
            "beside: lost %ld (%d refused, %d overflows); bridge CPU %.2f s per MB\n",
            "7a. MIDI -> device, 20,000 notes burst", delivered, burst - delivered, refused,
            burst - besideGot, refusedBeside, beside.overflows.load(), cpu / (burst * 3 / 1e6));

        device.reset();
        const int total = 20000, window = 64;
        std::vector<steady_clock::time_point> sent(total);
        const auto t0 = steady_clock::now();
        for (int i = 0; i < total; ++i) {
            if (i >= window) device.waitMessages(static_cast<std::size_t>(i - window + 1), 2000ms);
            sent[static_cast<std::size_t>(i)] = steady_clock::now();
            sendNote(sender, in, i);
        }
        const auto got = device.waitMessages(total, 3000ms);
        const double s = duration<double>(steady_clock::now() - t0).count();
        const auto at = device.arrivals();
        std::vector<double> us;
        for (std::size_t i = 0; i < at.size(); ++i)
            us.push_back(duration<double, std::micro>(at[i] - sent[i]).count());
        row("7b. MIDI -> device, 64 in flight", stats(us),
            std::to_string(static_cast<int>(static_cast<double>(got) / s)) + " messages/s, lost " +
                std::to_string(total - got));
    }

    // 8. A device flood at 11,520 B/s (a note every 260 us) for 5 s, read by our client alone,
    // then beside 20 slow readers (each takes what waits every 50 ms, with a small queue). The
    // slow ones should cost neither the fast reader nor the device anything.
    // `write` sends one note the way the device does; `reader` reads what comes out.
    auto flood = [&](const char* what, Peer& reader, auto write) {
        // What an earlier row left in flight arrives first.
        for (std::size_t seen = 1, now = 0; seen != now; now = reader.inbox.received()) {
            seen = now;
            std::this_thread::sleep_for(300ms);
        }
        reader.inbox.clear();
        const int n = 5 * 3840;
        Bytes stream;
        for (int i = 0; i < n; ++i)
            stream.insert(stream.end(), {0x90, static_cast<std::uint8_t>(i % 128),
                                         static_cast<std::uint8_t>(1 + i % 126)});
        std::vector<steady_clock::time_point> sent(n), got;
        const auto sleeps = bridge.switchesByThread();
        double late = 0;  // the furthest the device's writes fell behind their schedule, ms
        std::thread device([&] {
            const auto first = steady_clock::now();
            for (int i = 0; i < n; ++i) {
                const auto due = first + i * 260us;
                std::this_thread::sleep_until(due);
                sent[static_cast<std::size_t>(i)] = steady_clock::now();
                write(stream.data() + 3 * i);
                late =
                    std::max(late, duration<double, std::milli>(steady_clock::now() - due).count());
            }
        });
        for (std::size_t i = 1; i <= static_cast<std::size_t>(n); ++i) {
            if (!reader.inbox.waitBytes(3 * i, 3s)) break;
            got.push_back(steady_clock::now());
        }
        device.join();
        std::vector<double> us;
        for (std::size_t i = 0; i < got.size(); ++i)
            us.push_back(duration<double, std::micro>(got[i] - sent[i]).count());
        row(what, stats(us),
            "lost " + std::to_string(n - static_cast<int>(got.size())) +
                (reader.inbox.joined() == stream ? ", in order" : ", DIFFERENT") +
                "; device writes up to " + std::to_string(static_cast<int>(late)) +
                " ms behind schedule" + (&reader == &client ? "; " + wakeups(sleeps, n) : ""));
    };
    // The same through the kernel's own path (8k): what the sequencer's copying into 21 queues
    // costs any writer, the yardstick for 8b.
    auto floodBesideSlowReaders = [&](const char* alone, const char* beside, Peer& reader,
                                      const char* port, auto write) {
        flood(alone, reader, write);
        const auto slow = slowReaders();
        for (const auto& p : slow) p->subscribeTo(port);
        flood(beside, reader, write);
    };
    floodBesideSlowReaders("8a. device flood 11,520 B/s, one reader",
                           "8b. the same beside 20 slow readers", client, "Halvenor Out",
                           [&](const std::uint8_t* note) { pty.send(Bytes(note, note + 3)); });
    if (kernelPath)
        floodBesideSlowReaders("8ka. the same through the kernel's path", "8kb. and beside 20 slow",
                               kernelReader, kVirmidiPort, [&](const std::uint8_t* note) {
                                   if (::write(virmidi, note, 3) != 3)
                                       fail("cannot write to the virtual MIDI card");
                               });
    // 8c. The bridge's reader beside 20 slow readers of the virtual card, which gets the same
    // notes at the same time: the machine as busy as in 8b, but no reader of the bridge's to
    // refuse anything. What 8b costs beyond 8c is the bridge's; the rest is the load.
    if (kernelPath) {
        const auto card = kernelReader.find(kVirmidiPort);
        snd_seq_disconnect_from(kernelReader.seq, kernelReader.port, card.client, card.port);
        const auto slow = slowReaders();
        for (const auto& p : slow) p->subscribeTo(kVirmidiPort);
        flood("8c. 8a beside 20 slow readers of the card", client, [&](const std::uint8_t* note) {
            pty.send(Bytes(note, note + 3));
            if (::write(virmidi, note, 3) != 3) fail("cannot write to the virtual MIDI card");
        });
    }

    // 9. Two programs at once toward the device: a 4 KiB SysEx in 256-byte events (as sequencer
    // clients split it) with another program's note after every second piece. The device must
    // get the SysEx whole and each note whole, and nothing else.
    {
        Peer librarian("Librarian"), player("Player");
        const auto in = librarian.find("Halvenor In");
        if (in.client < 0) fail("\"Halvenor In\" is missing");
        Bytes sysex(4096);
        for (std::size_t i = 0; i < sysex.size(); ++i)
            sysex[i] = static_cast<std::uint8_t>(i % 0x70);
        sysex.front() = 0xF0;
        sysex.back() = 0xF7;
        std::vector<steady_clock::time_point> noteSent;
        Bytes notes;
        const auto t0 = steady_clock::now();
        for (std::size_t at = 0, piece = 0; at < sysex.size(); at += 256, ++piece) {
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            snd_seq_ev_set_sysex(&ev, 256, sysex.data() + at);
            librarian.deliver(ev, in.client, in.port);
            if (piece % 2 == 1) {
                const Bytes note{0x91, static_cast<std::uint8_t>(piece), 0x50};
                noteSent.push_back(steady_clock::now());
                player.sendTo("Halvenor In", note);
                notes.insert(notes.end(), note.begin(), note.end());
            }
        }
        Bytes got;
        std::vector<double> noteUs;
        steady_clock::time_point sysexDone = t0;
        while (got.size() < sysex.size() + notes.size()) {
            const Bytes part = pty.receive(1, 3000ms);
            if (part.empty()) break;
            const auto now = steady_clock::now();
            for (std::uint8_t b : part) {
                got.push_back(b);
                if (b == 0xF7) sysexDone = now;
                // A note's last byte: its time from the player's send.
                if (got.size() >= 3 && got[got.size() - 3] == 0x91 &&
                    noteUs.size() < noteSent.size())
                    noteUs.push_back(
                        duration<double, std::micro>(now - noteSent[noteUs.size()]).count());
            }
        }
        const auto f0 = std::find(got.begin(), got.end(), std::uint8_t{0xF0});
        const bool whole = std::search(got.begin(), got.end(), sysex.begin(), sysex.end()) == f0 &&
                           f0 != got.end();
        Bytes rest(got.begin(), f0);
        if (whole)
            rest.insert(rest.end(), f0 + static_cast<std::ptrdiff_t>(sysex.size()), got.end());
        row("9. two senders: player's notes", stats(noteUs),
            std::string(whole ? "SysEx whole" : "SysEx NOT WHOLE") + " after " +
                std::to_string(
                    static_cast<int>(duration<double, std::milli>(sysexDone - t0).count())) +
                " ms; notes " + (rest == notes ? "whole, nothing invented" : "DIFFERENT") + " (" +
                std::to_string(got.size()) + " of " + std::to_string(sysex.size() + notes.size()) +
                " bytes)");
    }

    // 5. Idle.
    {
        std::this_thread::sleep_for(1s);
        const double cpu0 = bridge.cpu();
        const long sw0 = bridge.switches();
        std::this_thread::sleep_for(10s);
        std::printf("| %-40s | CPU %.3f s, voluntary context switches %ld (%.1f/s)\n",
                    "5. idle for 10 s", bridge.cpu() - cpu0, bridge.switches() - sw0,
                    static_cast<double>(bridge.switches() - sw0) / 10.0);
    }

    // 6. Memory.
    std::printf("| %-40s | %ld KiB\n", "6. peak RSS (VmHWM)", bridge.status("VmHWM"));
    if (virmidi >= 0) ::close(virmidi);

    running.reset();
    sigtermUnderLoad(argv[1], args, client);
    fs::remove_all(config);
}
