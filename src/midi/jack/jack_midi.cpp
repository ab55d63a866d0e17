#include "midi/jack/jack_midi.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "midi/jack/byte_ring.h"

namespace tessaryn {

namespace {

// Toward JACK, sized for the largest message the device parser makes (a 1 MiB SysEx) with room
// beside it, since a message that does not fit is dropped whole. From JACK, a period's events
// at a time: the receive thread empties it every period.
constexpr std::size_t kOutRingBytes = 1 << 21;
constexpr std::size_t kInRingBytes = 1 << 18;
// A connection takes effect at the start of a coming period, on a loaded machine many periods
// later; the first message for a newly connected destination waits up to this long for it.
constexpr jack_time_t kRouteWaitMicros = 1000000;

enum class Target : std::uint8_t { virtualOut, hardwareOut };

// One received event: this header, then `length` bytes.
struct InHeader {
    std::uint32_t length;
    std::uint16_t source;  // 1: "<name> In", 2: "<name> Hardware In"
    bool lostBefore;       // events were dropped just before this one
};

// One queued outgoing message: this header, then `length` bytes.
struct OutHeader {
    std::uint32_t length;
    Target target;
    bool newRoute;  // the first message since "<name> Hardware Out" was connected
};

struct ClientCloser {
    void operator()(jack_client_t* c) const { jack_client_close(c); }
};

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::string openProblem(const std::string& name, jack_status_t status) {
    if (status & JackServerFailed) {
        const char* server = std::getenv("JACK_DEFAULT_SERVER");
        return std::string("No JACK server") +
               (server && *server ? std::string(" named \"") + server + "\"" : std::string()) +
               " is running; start one with `jackd -d alsa` or use PipeWire's JACK";
    }
    // jackd2 answers a name that is taken with a plain server error.
    if (status & (JackNameNotUnique | JackServerError))
        return "Cannot open the JACK client \"" + name +
               "\": the server refused it (a client of that name may be running already; "
               "give this instance another --name)";
    char code[16];
    std::snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(status));
    return "Cannot open the JACK client \"" + name + "\" (JACK status " + code + ")";
}

// Hand-offs, each with one producer and one consumer:
// - out_: producers are publish/sendTo/publishAll, from the serial queue and the main thread;
//   they take turns under outLock_, so the ring sees one producer at a time. The consumer is
//   the process callback, which takes no lock.
// - in_: the process callback produces, the receive thread consumes and calls `received`.
// - wake_ (eventfd): the process callback and JACK's notification thread post with a
//   non-blocking write; the receive thread sleeps in poll on it.
// JACK's callbacks only copy bytes, set flags and post; they never allocate, lock or block.
class JackService final : public MIDIService {
  public:
    JackService(const std::string& name, Handlers handlers,
                std::function<void(const std::string&)> report)
        : name_(name), handlers_(std::move(handlers)), report_(std::move(report)) {
        jack_status_t status{};
        client_.reset(jack_client_open(
            name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
            &status));
        if (!client_) throw MIDIServiceError(openProblem(name, status));
        if (wake_.get() < 0) throw MIDIServiceError("Cannot create an eventfd for JACK input");
        outPort_ = registerPort(name + " Out", JackPortIsOutput);
        inPort_ = registerPort(name + " In", JackPortIsInput);
        hwOutPort_ = registerPort(name + " Hardware Out", JackPortIsOutput);
        hwInPort_ = registerPort(name + " Hardware In", JackPortIsInput);

        jack_client_t* c = client_.get();
        jack_set_process_callback(
            c,
            [](jack_nframes_t n, void* self) {
                return static_cast<JackService*>(self)->process(n);
            },
            this);
        jack_set_port_registration_callback(
            c,
            [](jack_port_id_t, int, void* self) {
                static_cast<JackService*>(self)->setupChanged();
            },
            this);
        jack_set_port_connect_callback(
            c,
            [](jack_port_id_t, jack_port_id_t, int, void* self) {
                static_cast<JackService*>(self)->setupChanged();
            },
            this);
        jack_set_port_rename_callback(
            c,
            [](jack_port_id_t, const char*, const char*, void* self) {
                static_cast<JackService*>(self)->setupChanged();
            },
            this);
        jack_on_info_shutdown(
            c,
            [](jack_status_t, const char*, void* self) {
                auto* s = static_cast<JackService*>(self);
                s->serverGone_ = true;
                s->setupChanged();
            },
            this);
        if (jack_activate(c) != 0)
            throw MIDIServiceError("Cannot activate the JACK client \"" + name + "\"");
        thread_ = std::thread([this] { receive(); });
    }

    ~JackService() override {
        if (!serverGone_) jack_deactivate(client_.get());
        stopping_ = true;
        post();
        thread_.join();
    }

    std::int32_t ownSourceID() const override { return stableEndpointID(name_, name_ + " Out", 0); }
    std::int32_t ownDestinationID() const override {
        return stableEndpointID(name_, name_ + " In", 0);
    }

    std::vector<Endpoint> sources() override { return listEndpoints(JackPortIsOutput, nullptr); }
    std::vector<Endpoint> destinations() override {
        return listEndpoints(JackPortIsInput, nullptr);
    }

    void publish(std::span<const std::uint8_t> m) override {
        std::lock_guard lock(outLock_);
        push(Target::virtualOut, m);
    }

    bool sendTo(std::int32_t id, std::span<const std::uint8_t> m) override {
        std::lock_guard lock(outLock_);
        if (!routeHardwareOut(id)) return false;
        push(Target::hardwareOut, m);
        return true;
    }

    void publishAll(std::span<const std::vector<std::uint8_t>> messages,
                    std::int32_t hardwareOutID) override {
        std::lock_guard lock(outLock_);
        const bool hardware = hardwareOutID != 0 && routeHardwareOut(hardwareOutID);
        for (const auto& m : messages) {
            if (m.empty()) continue;
            push(Target::virtualOut, m);
            if (hardware) push(Target::hardwareOut, m);
        }
    }

    bool connectSource(std::int32_t id) override {
        std::lock_guard lock(outLock_);
        const auto name = lookup(id, JackPortIsOutput);
        if (name.empty()) return false;
        const int r = jack_connect(client_.get(), name.c_str(), jack_port_name(hwInPort_));
        if (r != 0 && r != EEXIST) return false;
        connectedSource_ = name;
        return true;
    }

    void disconnectSource() override {
        std::lock_guard lock(outLock_);
        if (!connectedSource_.empty() && !serverGone_)
            jack_disconnect(client_.get(), connectedSource_.c_str(), jack_port_name(hwInPort_));
        connectedSource_.clear();
    }

    Losses losses() const override { return {toReaders_.load(), input_.load()}; }

  private:
    jack_port_t* registerPort(const std::string& port, unsigned long flags) {
        jack_port_t* p =
            jack_port_register(client_.get(), port.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
        if (!p) throw MIDIServiceError("Cannot register the JACK port \"" + port + "\"");
        return p;
    }

    // JACK's threads: only a flag and a post.
    void setupChanged() {
        ++setupGeneration_;
        setupPending_ = true;
        post();
    }

    void post() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

    // MIDI ports of other clients with all of `flags`, leaving out this client and other
    // instances of this program (recognised by their "<client> Hardware In" port). `names`,
    // when given, receives the full port name of each listed endpoint.
    std::vector<Endpoint> listEndpoints(unsigned long flags,
                                        std::map<std::int32_t, std::string>* names) {
        std::vector<Endpoint> out;
        if (serverGone_) return out;
        const char** all = jack_get_ports(client_.get(), nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
        if (!all) return out;
        struct Port {
            std::string full, client, shortName;
            unsigned long flags;
        };
        std::vector<Port> ports;
        std::set<std::string> instances{name_};
        for (const char** p = all; *p; ++p) {
            jack_port_t* port = jack_port_by_name(client_.get(), *p);
            if (!port) continue;
            const std::string full = *p;
            const std::string shortName = jack_port_short_name(port);
            if (full.size() <= shortName.size()) continue;
            std::string client = full.substr(0, full.size() - shortName.size() - 1);
            if (shortName == client + " Hardware In") instances.insert(client);
            ports.push_back({full, std::move(client), shortName,
                             static_cast<unsigned long>(jack_port_flags(port))});
        }
        jack_free(all);
        for (const auto& p : ports) {
            if ((p.flags & flags) != flags || instances.count(p.client)) continue;
            const std::int32_t id = stableEndpointID(p.client, p.shortName, 0);
            out.push_back({id, p.full});
            if (names) (*names)[id] = p.full;
        }
        return out;
    }

    // Called with outLock_ held. The full port name with this ID, or empty. The table is rebuilt
    // after each setup change.
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

    // Called with outLock_ held. Connects "<name> Hardware Out" to exactly the destination with
    // this ID; false when there is none.
    bool routeHardwareOut(std::int32_t id) {
        const unsigned generation = setupGeneration_;
        if (id == routedID_ && generation == routedAt_) return !routedName_.empty();
        const std::string name = lookup(id, JackPortIsInput);
        routedID_ = id;
        routedAt_ = generation;
        if (name.empty()) {
            routedName_.clear();
            return false;
        }
        if (name != routedName_ || !jack_port_connected_to(hwOutPort_, name.c_str())) {
            jack_port_disconnect(client_.get(), hwOutPort_);
            const int r = jack_connect(client_.get(), jack_port_name(hwOutPort_), name.c_str());
            if (r != 0 && r != EEXIST) {
                routedName_.clear();
                return false;
            }
            routedAt_ = setupGeneration_;  // our own connection changed the setup
            newRoute_ = true;
        }
        routedName_ = name;
        return true;
    }

    // Called with outLock_ held: the ring's one producer. A message that does not fit is dropped
    // whole, counted, and said once until messages fit again.
    void push(Target target, std::span<const std::uint8_t> m) {
        if (m.empty()) return;
        if (out_.writeSpace() < sizeof(OutHeader) + m.size()) {
            ++toReaders_;
            if (!outFull_ && report_)
                report_("JACK MIDI output is full; dropping whole messages until it drains");
            outFull_ = true;
            return;
        }
        outFull_ = false;
        const OutHeader h{static_cast<std::uint32_t>(m.size()), target,
                          target == Target::hardwareOut && newRoute_};
        if (h.newRoute) newRoute_ = false;
        out_.write(&h, sizeof h);
        out_.write(m.data(), m.size());
    }

    // The realtime thread.
    int process(jack_nframes_t frames) {
        receiveEvents(jack_port_get_buffer(inPort_, frames),
                      jack_port_get_buffer(hwInPort_, frames));
        void* outs[2] = {jack_port_get_buffer(outPort_, frames),
                         jack_port_get_buffer(hwOutPort_, frames)};
        jack_midi_clear_buffer(outs[0]);
        jack_midi_clear_buffer(outs[1]);
        sendEvents(outs);
        return 0;
    }

    // Copies this period's input events of both ports into in_, in time order, each whole or
    // not at all; the first event after a drop carries the news.
    void receiveEvents(void* a, void* b) {
        const std::uint32_t na = jack_midi_get_event_count(a), nb = jack_midi_get_event_count(b);
        std::uint32_t i = 0, j = 0;
        bool any = false;
        jack_midi_event_t ea{}, eb{};
        bool haveA = i < na && jack_midi_event_get(&ea, a, i) == 0;
        bool haveB = j < nb && jack_midi_event_get(&eb, b, j) == 0;
        while (haveA || haveB) {
            const bool takeA = haveA && (!haveB || ea.time <= eb.time);
            const jack_midi_event_t& e = takeA ? ea : eb;
            if (e.size > 0) {
                const InHeader h{static_cast<std::uint32_t>(e.size),
                                 static_cast<std::uint16_t>(takeA ? 1 : 2), inLost_};
                if (in_.writeSpace() >= sizeof h + e.size) {
                    in_.write(&h, sizeof h);
                    in_.write(e.buffer, e.size);
                    inLost_ = false;
                } else {
                    inLost_ = true;
                    inOverflow_ = true;
                    ++input_;
                }
                any = true;
            }
            if (takeA) {
                haveA = ++i < na && jack_midi_event_get(&ea, a, i) == 0;
            } else {
                haveB = ++j < nb && jack_midi_event_get(&eb, b, j) == 0;
            }
        }
        if (any) post();
    }

    // Moves queued messages into the output buffers, in order, while they fit. A SysEx larger
    // than the room left goes out as consecutive SysEx events of one message, continuing in the
    // next periods; any other message waits for the next period unless even an empty buffer
    // could not hold it.
    void sendEvents(void* const outs[2]) {
        bool wrote[2] = {false, false};
        for (;;) {
            if (pendingLeft_ == 0) {
                OutHeader h;
                const std::size_t ready = out_.readSpace();
                if (ready < sizeof h) return;
                out_.peek(&h, sizeof h);
                if (ready < sizeof h + h.length) return;
                if (h.target == Target::hardwareOut && !hwOutLinked_.load()) {
                    // Not connected (yet): a new route gets a few periods, a vanished
                    // destination none.
                    if (h.newRoute) {
                        const jack_time_t now = jack_get_time();
                        if (routeWaitSince_ == 0) routeWaitSince_ = now;
                        if (now - routeWaitSince_ < kRouteWaitMicros) return;
                    }
                    out_.skip(sizeof h + h.length);
                    routeWaitSince_ = 0;
                    continue;
                }
                routeWaitSince_ = 0;
                out_.skip(sizeof h);
                pendingLeft_ = h.length;
                pendingTarget_ = static_cast<int>(h.target);
                std::uint8_t first = 0;
                out_.peek(&first, 1);
                pendingSysex_ = first == 0xF0;
            }
            void* buffer = outs[pendingTarget_];
            const std::size_t room = jack_midi_max_event_size(buffer);
            std::size_t piece = pendingLeft_;
            if (piece > room) {
                if (room == 0 || (!pendingSysex_ && wrote[pendingTarget_])) return;
                piece = room;
            }
            jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, piece);
            if (!data) return;
            out_.read(data, piece);
            pendingLeft_ -= piece;
            wrote[pendingTarget_] = true;
        }
    }

    // The receive thread: hands what each wake-up finds to `received` in one batch, setup
    // changes to `setupChanged`, and says once per episode what was dropped.
    void receive() {
        ::pthread_setname_np(::pthread_self(), "midi.in");  // shown by top -H and gdb
        std::vector<std::uint8_t> bytes;
        std::vector<InHeader> heads;
        std::vector<Event> events;
        bool inFullSaid = false;
        pollfd fd{wake_.get(), POLLIN, 0};
        auto handOver = [&](bool lostBefore) {
            events.clear();
            std::size_t at = 0;
            for (const auto& h : heads) {
                events.push_back({h.source, std::span(bytes).subspan(at, h.length)});
                at += h.length;
            }
            if ((!events.empty() || lostBefore) && handlers_.received)
                handlers_.received(events, lostBefore);
            bytes.clear();
            heads.clear();
        };
        while (!stopping_) {
            if (::poll(&fd, 1, -1) < 0 && errno != EINTR) return;
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
            bool lostBefore = false;
            for (;;) {
                InHeader h;
                const std::size_t ready = in_.readSpace();
                if (ready < sizeof h) break;
                in_.peek(&h, sizeof h);
                if (ready < sizeof h + h.length) break;
                if (h.lostBefore) {
                    // What came before the hole goes on as it was; what follows is told.
                    handOver(lostBefore);
                    lostBefore = true;
                }
                in_.skip(sizeof h);
                const std::size_t at = bytes.size();
                bytes.resize(at + h.length);
                in_.read(bytes.data() + at, h.length);
                heads.push_back(h);
            }
            handOver(lostBefore);
            if (inOverflow_.exchange(false)) {
                if (!inFullSaid && report_)
                    report_(
                        "JACK MIDI input arrives faster than it is handled; dropping whole "
                        "messages");
                inFullSaid = true;
            } else {
                inFullSaid = false;
            }
            if (serverGone_ && !goneSaid_ && report_) {
                report_("The JACK server has stopped; MIDI is off until tessaryn restarts");
                goneSaid_ = true;
            }
            if (setupPending_.exchange(false)) {
                // Asked here, not in the process callback: some servers answer under a lock.
                if (!serverGone_) hwOutLinked_.store(jack_port_connected(hwOutPort_) > 0);
                if (handlers_.setupChanged) handlers_.setupChanged();
            }
        }
    }

    std::string name_;
    Handlers handlers_;
    std::function<void(const std::string&)> report_;
    Fd wake_{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    ByteRing out_{kOutRingBytes}, in_{kInRingBytes};
    std::unique_ptr<jack_client_t, ClientCloser> client_;  // closed before the rings are freed
    jack_port_t *outPort_ = nullptr, *inPort_ = nullptr, *hwOutPort_ = nullptr,
                *hwInPort_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> setupPending_{false};
    std::atomic<bool> inOverflow_{false};
    std::atomic<bool> hwOutLinked_{false};  // "<name> Hardware Out" has a link; receive thread sets
    std::atomic<std::uint64_t> input_{0}, toReaders_{0};
    bool inLost_ = false;  // process callback: an event was dropped and nothing has said so yet
    std::atomic<bool> serverGone_{false};
    bool goneSaid_ = false;  // receive thread
    std::atomic<unsigned> setupGeneration_{1};

    // Process callback only: the message being written out.
    std::size_t pendingLeft_ = 0;
    int pendingTarget_ = 0;
    bool pendingSysex_ = false;
    jack_time_t routeWaitSince_ = 0;  // when the message at the head began to wait for its route

    // Guarded by outLock_.
    std::mutex outLock_;
    bool outFull_ = false;
    std::map<std::int32_t, std::string> sourceCache_, destCache_;
    unsigned sourceCacheGen_ = 0, destCacheGen_ = 0;
    std::int32_t routedID_ = 0;
    unsigned routedAt_ = 0;
    std::string routedName_;
    bool newRoute_ = false;
    std::string connectedSource_;
};

void silentJack(const char*) {}

}  // namespace

MIDIService::Factory jackMIDIFactory(std::function<void(const std::string&)> report) {
    return [report](const std::string& name,
                    MIDIService::Handlers handlers) -> std::unique_ptr<MIDIService> {
        // libjack prints its own errors to stderr; ours are reported once, with the cause.
        jack_set_error_function(&silentJack);
        jack_set_info_function(&silentJack);
        return std::make_unique<JackService>(name, std::move(handlers), report);
    };
}

}  // namespace tessaryn
