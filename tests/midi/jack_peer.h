#pragma once
// A real JACK server of the test's own, and another JACK program that talks to it.

#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "midi/handoff.h"
#include "midi/jack/jack_client.h"

namespace tessaryn::testing {

// A server of the test's own, so parallel runs never meet; every JACK client of this process (and
// of the programs it starts) finds it through the environment. jackd: `jackd -d dummy` under a
// unique name in JACK_DEFAULT_SERVER. PipeWire: a session bus, `pipewire` (its dummy driver drives
// the graph) and `wireplumber` in a runtime folder of their own.
class JackServer {
  public:
    // False when the server is not installed.
    static bool available() {
        return ::access(pipeWireJack() ? "/usr/bin/wireplumber" : "/usr/bin/jackd", X_OK) == 0;
    }

    explicit JackServer(int periodFrames = 1024)
        : name_("tessaryn-test-" + std::to_string(::getpid()) + "-" + std::to_string(++made_)),
          period_(std::to_string(periodFrames)) {
        if (!pw_) {
            ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        } else {
            char dir[] = "/tmp/tessaryn-pw-XXXXXX";
            runtime_ = ::mkdtemp(dir);
            // The period, also inside a virtual machine (where PipeWire's least is 1024).
            std::filesystem::create_directories(runtime_ + "/pipewire/pipewire.conf.d");
            const std::string q = " = " + period_;
            std::ofstream(runtime_ + "/pipewire/pipewire.conf.d/test.conf")
                << "context.properties = { default.clock.quantum" << q
                << " default.clock.min-quantum" << q
                << " vm.overrides = { default.clock.min-quantum" << q << " } }\n";
            ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
            ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtime_ + "/bus").c_str(), 1);
            bus_ = spawn({"dbus-daemon", "--session", "--nofork",
                          "--address=unix:path=" + runtime_ + "/bus"});
        }
        start();
    }
    ~JackServer() {
        // A jackd killed outright keeps its slot in JACK's registry of servers (eight in all, for
        // every user of the machine) until one of the same name starts and stops cleanly.
        if (killed_ && !pw_) start();
        stop(SIGTERM);
        end(bus_, SIGTERM);
        if (pw_) std::filesystem::remove_all(runtime_);
    }
    // Ready when a client can join; a loaded machine may take seconds.
    bool start() {
        // jackd synchronous, with a generous client timeout: on a loaded machine or in a sanitizer
        // build a slow client stretches a period instead of throwing the graph out of step.
        pid_ = pw_ ? spawn({"pipewire"})
                   : spawn({"jackd", "-n", name_, "-S", "-t", "10000", "--no-realtime", "-d",
                            "dummy", "-r", "48000", "-p", period_});
        if (pw_) manager_ = spawn({"wireplumber"});
        jack_set_error_function([](const char*) {});
        ready_ = eventually(
            [] {
                jack_status_t status;
                jack_client_t* c = jack_client_open("probe", JackNoStartServer, &status);
                return c && jack_client_close(c) == 0;
            },
            60s);
        killed_ = killed_ && !ready_;
        return ready_;
    }
    // Ends it as a crash (SIGKILL) or a control panel (SIGTERM) would.
    void stop(int signal = SIGKILL) {
        end(pid_, signal);
        end(manager_, SIGTERM);
        ready_ = false;
        killed_ = signal == SIGKILL;
    }
    bool ready() const { return ready_; }
    std::string describe() const { return pw_ ? "pipewire in " + runtime_ : "jackd -n " + name_; }

  private:
    pid_t spawn(std::vector<std::string> args) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that crashes stops its server cleanly
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::setenv("XDG_CONFIG_HOME", runtime_.c_str(), 1);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(("/usr/bin/" + args[0]).c_str(), argv.data());
            ::_exit(127);
        }
        return pid;
    }
    static void end(pid_t& pid, int signal) {
        if (pid <= 0) return;
        ::kill(pid, signal);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    // libjack keeps what it learned of a jackd by name for the life of the process: a server
    // started again under the name of one that was stopped for good is not found.
    static inline int made_ = 0;
    const bool pw_ = pipeWireJack();
    std::string name_, period_, runtime_;
    pid_t pid_ = -1, manager_ = -1, bus_ = -1;
    bool ready_ = false, killed_ = false;
};

// Another JACK program: ports added and removed by name, each message sent as one event, every
// event received kept as one packet.
class JackPeer {
  public:
    explicit JackPeer(const std::string& name = "Peer") : name_(name) {
        // On PipeWire an ordinary JACK program's node always runs, unlike the bridge's, which
        // sets PIPEWIRE_PROPS for its process.
        const char* bridge = std::getenv("PIPEWIRE_PROPS");
        const std::string kept = bridge ? bridge : "";
        ::setenv("PIPEWIRE_PROPS", "{ node.always-process = true }", 1);
        jack_status_t status;
        client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
        bridge ? ::setenv("PIPEWIRE_PROPS", kept.c_str(), 1) : ::unsetenv("PIPEWIRE_PROPS");
        EXPECT_NE(client_, nullptr) << "JACK status " << status;
        jack_set_process_callback(
            client_,
            [](jack_nframes_t n, void* self) { return static_cast<JackPeer*>(self)->process(n); },
            this);
        jack_activate(client_);
    }
    ~JackPeer() {
        jack_deactivate(client_);
        jack_client_close(client_);
    }

    std::string full(const std::string& port) const { return name_ + ":" + port; }
    bool hasPort(const std::string& full) const { return jack_port_by_name(client_, full.c_str()); }

    void addPort(const std::string& port, bool input) {
        jack_port_t* p = jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                            input ? JackPortIsInput : JackPortIsOutput, 0);
        ASSERT_NE(p, nullptr) << port;
        std::lock_guard lock(m_);
        ports_.push_back({port, p, input});
    }
    void connect(const std::string& from, const std::string& to) {
        ASSERT_EQ(jack_connect(client_, from.c_str(), to.c_str()), 0) << from << " -> " << to;
    }
    // Waits until this peer's process cycle sees `count` connections on its port: from then on
    // the server routes through them (a new connection takes effect at a period's start).
    bool waitLinks(const std::string& port, int count) {
        return eventually([&] {
            std::lock_guard lock(m_);
            return links_[port] == count;
        });
    }
    // Sent in the next period from this peer's port `port`, at `frame` of it.
    void send(const std::string& port, Bytes message, jack_nframes_t frame = 0) {
        std::lock_guard lock(m_);
        outgoing_[port].push_back({frame, std::move(message)});
    }

    // The server's frame clock now, and the frame at which each received event arrived.
    jack_nframes_t now() const { return jack_frame_time(client_); }
    std::vector<jack_nframes_t> arrivals() {
        std::lock_guard lock(m_);
        return arrivals_;
    }

    Inbox inbox;
    std::chrono::microseconds stall{0};  // how long each process callback takes; set before links

  private:
    // A test program: it may lock, since only its own ports wait for it.
    int process(jack_nframes_t frames) {
        std::this_thread::sleep_for(stall);
        std::lock_guard lock(m_);
        for (const auto& [name, port, input] : ports_) {
            links_[name] = jack_port_connected(port);
            void* buffer = jack_port_get_buffer(port, frames);
            jack_midi_event_t e;
            for (std::uint32_t i = 0; input && jack_midi_event_get(&e, buffer, i) == 0; ++i) {
                inbox.add({e.buffer, e.size});
                arrivals_.push_back(jack_last_frame_time(client_) + e.time);
            }
            if (input) continue;
            jack_midi_clear_buffer(buffer);
            // No more than PipeWire's copy of the buffer holds, as the bridge keeps to.
            std::size_t room = jack_midi_max_event_size(buffer);
            for (auto& q = outgoing_[name];
                 !q.empty() && 16 + q.front().second.size() + 7 < room &&
                 jack_midi_event_write(buffer, q.front().first, q.front().second.data(),
                                       q.front().second.size()) == 0;
                 q.pop_front())
                room -= 16 + ((q.front().second.size() + 7) & ~std::size_t{7});
        }
        return 0;
    }

    std::string name_;
    jack_client_t* client_ = nullptr;
    std::mutex m_;
    std::vector<std::tuple<std::string, jack_port_t*, bool>> ports_;  // name, port, input
    std::map<std::string, int> links_;
    std::map<std::string, std::deque<std::pair<jack_nframes_t, Bytes>>> outgoing_;
    std::vector<jack_nframes_t> arrivals_;
};

}  // namespace tessaryn::testing
