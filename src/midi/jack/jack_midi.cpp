#include "midi/jack/jack_midi.h"

#include <jack/jack.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/jack/jack_client.h"
#include "midi/jack/jack_process.h"

namespace tessaryn {

namespace {

// Threads:
// - outLock_: publish/sendTo/publishAll (serial queue, main thread) take turns at the ring's one
//   producer end under it.
// - clientLock_ guards the client and everything that asks it (listing, linking); taken after
//   outLock_ when both are needed. The receive thread replaces the client under it.
// - JACK's notification thread only sets flags and posts to wake_; the process callback is
//   JackCycle's.
class JackService final : public MIDIService {
  public:
    JackService(const std::string& name, Handlers handlers,
                std::function<void(const std::string&)> report)
        : name_(name), handlers_(std::move(handlers)), report_(std::move(report)) {
        if (wake_.get() < 0 || watch_.fd() < 0)
            throw MIDIServiceError("Cannot create the JACK backend's wake-up files");
        jack_status_t status{};
        if (!start(status)) throw MIDIServiceError(openProblem(name, status));
        thread_ = std::thread([this] { receive(); });
    }

    ~JackService() override {
        stopping_ = true;
        post();
        thread_.join();
        if (client_ && !serverGone_) jack_deactivate(client_.get());
    }

    std::int32_t ownSourceID() const override { return stableEndpointID(name_, name_ + " Out", 0); }
    std::int32_t ownDestinationID() const override {
        return stableEndpointID(name_, name_ + " In", 0);
    }

    std::vector<Endpoint> sources() override {
        std::lock_guard lock(clientLock_);
        return listEndpoints(JackPortIsOutput, nullptr);
    }
    std::vector<Endpoint> destinations() override {
        std::lock_guard lock(clientLock_);
        return listEndpoints(JackPortIsInput, nullptr);
    }

    void publish(std::span<const std::uint8_t> m) override {
        std::lock_guard lock(outLock_);
        push(JackCycle::Target::virtualOut, m, jack_get_time());
    }

    bool sendTo(std::int32_t id, std::span<const std::uint8_t> m) override {
        std::lock_guard lock(outLock_);
        const jack_time_t stamp = jack_get_time();
        if (!routed(id)) return false;
        push(JackCycle::Target::hardwareOut, m, stamp);
        return true;
    }

    void publishAll(std::span<const MIDIMessage> messages, std::int32_t hardwareOutID) override {
        std::lock_guard lock(outLock_);
        const jack_time_t stamp = jack_get_time();
        const bool hardware = routed(hardwareOutID);  // 0: none chosen any more
        for (const auto& m : messages) {
            if (m.empty()) continue;
            push(JackCycle::Target::virtualOut, m, stamp);
            if (hardware) push(JackCycle::Target::hardwareOut, m, stamp);
        }
    }

    bool connectSource(std::int32_t id) override {
        std::lock_guard lock(clientLock_);
        sourceID_ = id;
        sourceLinked_.clear();
        return followSource();
    }

    void disconnectSource() override {
        std::lock_guard lock(clientLock_);
        dropHardwarePort(ports_.hardwareIn, rtHardwareIn_);  // and with it our link
        sourceID_ = 0;
        sourceLinked_.clear();
    }

    Losses losses() const override { return {toReaders_.load(), cycle_.inputLost()}; }

    std::string trouble() const override {
        return clientUp_ ? std::string() : "The JACK server has stopped. Waiting for it to return.";
    }

  private:
    // Opens the client, its ports and the links this program made, and activates it; false with
    // `status` when the server refuses. No process callback runs meanwhile: the constructor, or
    // the receive thread after the previous client was closed.
    bool start(jack_status_t& status) {
        JackClient client(jack_client_open(
            name_.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
            &status));
        if (!client) return false;
        jack_client_t* c = client.get();
        if (nameTaken(c, name_)) {
            status = static_cast<jack_status_t>(status | JackFailure | JackNameNotUnique);
            return false;
        }
        // What the board sends and reads: to JACK programs the board is hardware, a terminal.
        const unsigned long board = JackPortIsPhysical | JackPortIsTerminal;
        // The hardware-facing ports come and go with the choice of a hardware endpoint.
        JackCycle::Ports ports{
            registerMIDIPort(c, name_ + " Out", JackPortIsOutput | board, "From the board"),
            registerMIDIPort(c, name_ + " In", JackPortIsInput | board, "To the board")};
        if (!ports.out || !ports.in) {
            status = static_cast<jack_status_t>(status | JackFailure);
            return false;
        }
        installCallbacks(c, ports);
        {
            std::lock_guard lock(outLock_);
            cycle_.forgetOutput();  // what waited while the server was gone is stale
        }
        {
            std::lock_guard lock(clientLock_);
            client_ = std::move(client);
            ports_ = ports;
            serverGone_ = false;
            hwOutLinked_ = false;
            rtHardwareOut_ = rtHardwareIn_ = nullptr;
            ++setupGeneration_;
            routedName_.clear();
            sourceLinked_.clear();
            if (jack_activate(c) != 0) {
                client_.reset();
                status = static_cast<jack_status_t>(status | JackFailure);
                return false;
            }
        }
        clientUp_ = true;
        follow();
        return true;
    }

    void installCallbacks(jack_client_t* c, const JackCycle::Ports& ports) {
        jack_set_process_callback(
            c,
            [](jack_nframes_t n, void* self) {
                auto* s = static_cast<JackService*>(self);
                JackCycle::Ports ports = s->rtPorts_;
                ports.hardwareOut = s->rtHardwareOut_.load(std::memory_order_acquire);
                ports.hardwareIn = s->rtHardwareIn_.load(std::memory_order_acquire);
                s->cycle_.process(s->rtClient_, ports, n, s->hwOutLinked_.load());
                return 0;
            },
            this);
        rtClient_ = c;
        rtPorts_ = ports;
        // Any change of ports or links: the chosen endpoints may need linking again.
        jack_set_port_registration_callback(
            c, [](jack_port_id_t, int, void* s) { changed(s); }, this);
        jack_set_port_connect_callback(
            c, [](jack_port_id_t, jack_port_id_t, int, void* s) { changed(s); }, this);
        jack_set_port_rename_callback(
            c, [](jack_port_id_t, const char*, const char*, void* s) { changed(s); }, this);
        // Not jack_on_info_shutdown: PipeWire's JACK calls only this one.
        jack_on_shutdown(
            c,
            [](void* self) {
                static_cast<JackService*>(self)->serverGone_ = true;
                changed(self);
            },
            this);
    }

    // JACK's threads: only a flag and a post.
    static void changed(void* self) { static_cast<JackService*>(self)->setupChanged(); }
    void setupChanged() {
        ++setupGeneration_;
        setupPending_ = true;
        post();
    }

    void post() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

    // Called with clientLock_ held.
    std::vector<Endpoint> listEndpoints(unsigned long flags,
                                        std::map<std::int32_t, std::string>* names) {
        if (!client_ || serverGone_) return {};
        return otherMIDIPorts(client_.get(), name_, flags, names);
    }

    // Called with clientLock_ held. The full port name with this ID, or empty. The table is
    // rebuilt after each setup change.
    std::string lookup(std::int32_t id, unsigned long flags) {
        const unsigned generation = setupGeneration_;
        auto& cache = flags == JackPortIsOutput ? sourceCache_ : destCache_;
        auto& cachedAt = flags == JackPortIsOutput ? sourceCacheGen_ : destCacheGen_;
        if (cachedAt != generation) {
            cache.clear();
            listEndpoints(flags, &cache);
            cachedAt = generation;
        }
        auto it = cache.find(id);
        return it == cache.end() ? std::string() : it->second;
    }

    // Called with clientLock_ held. Links "<name> Hardware Out" to the destination with this ID
    // (0: none, and the port goes); false when there is none. While one is chosen, only the link
    // this program made is ever removed, and a link the user removed is made again only when the
    // destination is chosen again or comes back.
    bool routeHardwareOut(std::int32_t id) {
        if (id == 0) {
            dropHardwarePort(ports_.hardwareOut, rtHardwareOut_);  // and with it our link
            routedID_ = 0;
            routedName_.clear();
            return false;
        }
        if (!client_) return false;
        const unsigned generation = setupGeneration_;
        if (id == routedID_ && generation == routedAt_) return !routedName_.empty();
        const std::string name = lookup(id, JackPortIsInput);
        const bool same = id == routedID_ && name == routedName_;
        const std::string previous = id == routedID_ ? std::string() : routedName_;
        routedID_ = id;
        routedAt_ = generation;
        routedName_ = name;
        if (name.empty() || same) return !name.empty();
        if (!hardwarePort(ports_.hardwareOut, rtHardwareOut_, " Hardware Out", JackPortIsOutput,
                          "To the chosen hardware destination")) {
            routedName_.clear();
            return false;
        }
        jack_client_t* c = client_.get();
        const char* port = jack_port_name(ports_.hardwareOut);
        if (!previous.empty()) jack_disconnect(c, port, previous.c_str());
        const int r = jack_connect(c, port, name.c_str());
        if (r != 0 && r != EEXIST) {
            routedName_.clear();
            return false;
        }
        routedAt_ = setupGeneration_;  // our own link changed the setup
        newRoute_ = true;
        return true;
    }

    // Called with clientLock_ held: the hardware-facing port, registered when the chosen endpoint
    // is first there to link, and handed to the process callback.
    jack_port_t* hardwarePort(jack_port_t*& port, std::atomic<jack_port_t*>& rt, const char* suffix,
                              unsigned long flags, const char* pretty) {
        if (!port && client_ && !serverGone_) {
            port = registerMIDIPort(client_.get(), name_ + suffix, flags, pretty);
            rt.store(port, std::memory_order_release);
        }
        return port;
    }

    // Called with clientLock_ held: no hardware endpoint is chosen any more, so its port goes, with
    // its links. The process callback is told first, so only a cycle already running can still
    // write to it.
    void dropHardwarePort(jack_port_t*& port, std::atomic<jack_port_t*>& rt) {
        if (!port) return;
        rt.store(nullptr, std::memory_order_release);
        if (client_ && !serverGone_) jack_port_unregister(client_.get(), port);
        port = nullptr;
    }

    bool routed(std::int32_t id) {
        std::lock_guard lock(clientLock_);
        return routeHardwareOut(id);
    }

    // After a setup change: the chosen destination and source are linked again when they come
    // back, with a new client or a new port.
    void follow() {
        std::lock_guard lock(clientLock_);
        if (!client_ || serverGone_) return;
        routeHardwareOut(routedID_);
        followSource();
        // Asked here, not in the process callback: some servers answer under a lock.
        hwOutLinked_ = ports_.hardwareOut && jack_port_connected(ports_.hardwareOut) > 0;
    }

    // Called with clientLock_ held. Links the chosen source to "<name> Hardware In" when it is
    // there and this program has not linked it yet; the same rules as for the destination.
    bool followSource() {
        if (sourceID_ == 0 || !client_ || serverGone_) return false;
        const std::string name = lookup(sourceID_, JackPortIsOutput);
        if (name.empty()) sourceLinked_.clear();
        if (name.empty() || name == sourceLinked_) return !name.empty();
        if (!hardwarePort(ports_.hardwareIn, rtHardwareIn_, " Hardware In", JackPortIsInput,
                          "From the chosen hardware source"))
            return false;
        const int r = jack_connect(client_.get(), name.c_str(), jack_port_name(ports_.hardwareIn));
        if (r != 0 && r != EEXIST) return false;
        sourceLinked_ = name;
        return true;
    }

    // Called with outLock_ held. A message that does not fit is dropped whole, counted, and said
    // once until messages fit again. Without a server there is nobody to hear it.
    void push(JackCycle::Target target, std::span<const std::uint8_t> m, jack_time_t stamp) {
        if (m.empty() || !clientUp_) return;
        const bool newRoute = target == JackCycle::Target::hardwareOut && newRoute_;
        if (!cycle_.push(target, m, stamp, newRoute)) {
            ++toReaders_;
            if (!outFull_ && report_)
                report_("JACK MIDI output is full; dropping whole messages until it drains");
            outFull_ = true;
            return;
        }
        if (newRoute) newRoute_ = false;
        outFull_ = false;
    }

    // The server is gone: the client is closed, and the watch waits for its return.
    void closeClient() {
        JackClient dead;
        {
            std::lock_guard lock(clientLock_);
            dead = std::move(client_);
            clientUp_ = false;
            ++setupGeneration_;
        }
        dead.reset();  // ends its threads
        watch_.arm();
    }

    // The receive thread: hands what each wake-up finds to `received` in one batch, setup
    // changes to `setupChanged`, says once per episode what was dropped, and brings the client
    // back when the server returns.
    void receive() {
        ::pthread_setname_np(::pthread_self(), "midi.in");  // shown by top -H and gdb
        bool inFullSaid = false;
        constexpr int kFirstTry = 100, kTries = 5;  // ms; then 200 ms to 3.2 s apart
        int retries = kTries, timeout = -1;
        pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {watch_.fd(), POLLIN, 0}};
        while (!stopping_) {
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0 && errno != EINTR) return;
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
            cycle_.drain([&](std::span<const Event> events, bool lostBefore) {
                if (handlers_.received) handlers_.received(events, lostBefore);
            });
            const bool full = cycle_.overflowed();
            if (full && !inFullSaid && report_)
                report_(
                    "JACK MIDI input arrives faster than it is handled; dropping whole messages");
            inFullSaid = full;
            if (serverGone_ && clientUp_) {
                closeClient();
                setupPending_ = true;
                // One try at once, for a server that came back before the watch began.
                retries = kTries;
                timeout = 0;
            }
            if ((fds[1].revents & POLLIN) && watch_.serverAppeared() && !clientUp_) {
                // jackd makes its socket before its engine runs; a client that joins in between
                // can hang it. So the first try comes a moment later.
                retries = 0;
                timeout = kFirstTry;
                continue;
            }
            if (!clientUp_ && !stopping_ && ready == 0) {
                jack_status_t status{};
                if (start(status)) {
                    watch_.disarm();
                    setupPending_ = true;
                    timeout = -1;
                } else {
                    // Nothing tells when a server starts taking clients: a few more tries,
                    // further apart each time, then we wait for the next socket.
                    timeout = retries < kTries ? kFirstTry << ++retries : -1;
                }
            }
            if (setupPending_.exchange(false)) {
                follow();
                if (handlers_.setupChanged) handlers_.setupChanged();
            }
        }
    }

    std::string name_;
    Handlers handlers_;
    std::function<void(const std::string&)> report_;
    Fd wake_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    ServerWatch watch_;  // receive thread
    JackCycle cycle_{wake_.get()};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> setupPending_{false};
    std::atomic<bool> hwOutLinked_{false};  // "<name> Hardware Out" has a link; receive thread sets
    std::atomic<bool> serverGone_{false};   // JACK said so; cleared by the next client
    std::atomic<bool> clientUp_{false};     // a client is open; the receive thread changes it
    std::atomic<std::uint64_t> toReaders_{0};
    std::atomic<unsigned> setupGeneration_{1};
    std::atomic<bool> newRoute_{false};  // the next hardware message is the first of a new link

    // The process callback's, set only while no callback runs; the hardware-facing ports change
    // while it runs.
    jack_client_t* rtClient_ = nullptr;
    JackCycle::Ports rtPorts_;
    std::atomic<jack_port_t*> rtHardwareOut_{nullptr}, rtHardwareIn_{nullptr};

    // Guarded by outLock_.
    std::mutex outLock_;
    bool outFull_ = false;

    // Guarded by clientLock_.
    std::mutex clientLock_;
    JackClient client_;  // closed before the rings are freed
    JackCycle::Ports ports_;
    std::map<std::int32_t, std::string> sourceCache_, destCache_;
    unsigned sourceCacheGen_ = 0, destCacheGen_ = 0;
    std::int32_t routedID_ = 0;  // the hardware destination chosen last
    unsigned routedAt_ = 0;
    std::string routedName_;     // its port, linked by us, while it is there
    std::int32_t sourceID_ = 0;  // the hardware source chosen
    std::string sourceLinked_;   // its port, linked by us, while it is there
};

}  // namespace

MIDIService::Factory jackMIDIFactory(std::function<void(const std::string&)> report) {
    setPipeWireNodeProperties();
    return [report](const std::string& name,
                    MIDIService::Handlers handlers) -> std::unique_ptr<MIDIService> {
        // libjack prints its own errors to stderr; ours are reported once, with the cause.
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        return std::make_unique<JackService>(name, std::move(handlers), report);
    };
}

}  // namespace tessaryn
