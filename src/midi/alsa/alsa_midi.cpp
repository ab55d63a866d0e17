#include "midi/alsa/alsa_midi.h"

#include "midi/alsa/alsa_writer.h"
#include "serial/device_access.h"
#include "serial/realtime.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tessaryn {

namespace {

bool kernelHasSequencer(const std::string& release) {
    for (const char* list : {"modules.dep", "modules.builtin"}) {
        std::ifstream in("/lib/modules/" + release + "/" + list);
        for (std::string line; std::getline(in, line);) {
            if (line.find("/snd-seq.ko") != std::string::npos) return true;
        }
    }
    return false;
}

std::string sequencerAdvice(int error) {
    if (::access("/dev/snd/seq", F_OK) == 0) {
        // Without a local login nobody is given the sequencer: its group is the way in.
        const auto group = error == -EACCES ? nodeGroup("/dev/snd/seq") : std::nullopt;
        const auto hint = group ? permissionHint(*group) : std::nullopt;
        return hint ? ". " + *hint : " (is /dev/snd/seq accessible?)";
    }
    utsname host{};
    ::uname(&host);
    return ". " +
           sequencerMissingHint(host.release, host.machine, kernelHasSequencer(host.release));
}

constexpr unsigned kPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
// The largest input pool a client may have. An event that needs as many cells as the pool
// holds is refused by the sequencer, so an input buffer of this many events reads any event
// that can reach us, and the whole queue in one read.
constexpr int kInputPool = 2000;

class AlsaService final : public MIDIService {
  public:
    AlsaService(const std::string& name, Handlers handlers)
        : name_(name), handlers_(std::move(handlers)) {
        if (int e = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK); e < 0) {
            throw MIDIServiceError(std::string("Cannot open the ALSA sequencer: ") +
                                   snd_strerror(e) + sequencerAdvice(e));
        }
        snd_seq_set_client_name(seq_, name.c_str());
        snd_seq_set_client_pool_input(seq_, kInputPool);
        snd_seq_set_input_buffer_size(seq_, (kInputPool + 1) * sizeof(snd_seq_event_t));
        self_ = snd_seq_client_id(seq_);
        outPort_ =
            makePort(name + " Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, kPortType);
        inPort_ =
            makePort(name + " In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kPortType);
        hwOutPort_ =
            makePort(name + " Hardware Out", SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_APPLICATION);
        hwInPort_ =
            makePort(name + " Hardware In", SND_SEQ_PORT_CAP_WRITE, SND_SEQ_PORT_TYPE_APPLICATION);
        // Setup notifications arrive on a port of this client that listings leave out: a
        // second client would show up in every port list as another "Halvenor".
        announcePort_ =
            makePort(name + " Announce", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                     SND_SEQ_PORT_TYPE_APPLICATION);
        snd_seq_connect_from(seq_, announcePort_, SND_SEQ_CLIENT_SYSTEM,
                             SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        writer_ = std::make_unique<AlsaWriter>(seq_, outPort_, hwOutPort_, setupGeneration_);
        snd_midi_event_new(16, &decoder_);
        snd_midi_event_no_status(decoder_, 1);  // every message with its status byte
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { receive(); });
    }

    ~AlsaService() override {
        writer_.reset();
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
        ::close(stopFd_);
        snd_midi_event_free(decoder_);
        snd_seq_close(seq_);
    }

    std::int32_t ownSourceID() const override { return stableEndpointID(name_, name_ + " Out", 0); }
    std::int32_t ownDestinationID() const override {
        return stableEndpointID(name_, name_ + " In", 0);
    }

    std::vector<Endpoint> sources() override { return listEndpoints(true, nullptr); }
    std::vector<Endpoint> destinations() override { return listEndpoints(false, nullptr); }

    void publish(std::span<const std::uint8_t> m) override {
        const MIDIMessage one(m);
        writer_->send(std::span(&one, 1), true, std::nullopt);
    }

    bool sendTo(std::int32_t id, std::span<const std::uint8_t> m) override {
        const auto to = lookup(id, false);
        if (!to) return false;
        const MIDIMessage one(m);
        writer_->send(std::span(&one, 1), false, to);
        return true;
    }

    void publishAll(std::span<const MIDIMessage> messages, std::int32_t hardwareOutID) override {
        writer_->send(messages, true,
                      hardwareOutID != 0 ? lookup(hardwareOutID, false) : std::nullopt);
    }

    bool connectSource(std::int32_t id) override {
        std::lock_guard lock(setupLock_);
        wantedIn_ = id;
        follow();
        return connectedIn_.has_value();
    }

    void disconnectSource() override {
        std::lock_guard lock(setupLock_);
        wantedIn_ = 0;
        if (connectedIn_)
            snd_seq_disconnect_from(seq_, hwInPort_, connectedIn_->client, connectedIn_->port);
        connectedIn_.reset();
    }

    Losses losses() const override { return {writer_->lostToReaders(), input_.load()}; }

  private:
    int makePort(const std::string& name, unsigned caps, unsigned type) {
        return snd_seq_create_simple_port(seq_, name.c_str(), caps, type);
    }

    // Enumerates hardware endpoints (every client but ours and the system's). `addresses`, when
    // given, receives the address of each listed endpoint.
    std::vector<Endpoint> listEndpoints(bool sources, std::map<std::int32_t, Address>* addresses) {
        const unsigned want = sources ? (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ)
                                      : (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
        std::vector<Endpoint> out;
        std::map<std::pair<std::string, std::string>, int> seen;
        snd_seq_client_info_t* client;
        snd_seq_port_info_t* port;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq_, client) >= 0) {
            const int c = snd_seq_client_info_get_client(client);
            if (c == SND_SEQ_CLIENT_SYSTEM || c == self_) continue;
            const std::string clientName = snd_seq_client_info_get_name(client);
            if (isInstance(c, clientName)) continue;
            snd_seq_port_info_set_client(port, c);
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq_, port) >= 0) {
                const unsigned caps = snd_seq_port_info_get_capability(port);
                if ((caps & want) != want || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
                const char* portName = snd_seq_port_info_get_name(port);
                const std::string pn = portName ? portName : "";
                const int occurrence = seen[{clientName, pn}]++;
                const std::int32_t id = stableEndpointID(clientName, pn, occurrence);
                out.push_back({id, pn});
                if (addresses) (*addresses)[id] = {c, snd_seq_port_info_get_port(port)};
            }
        }
        return out;
    }

    // Another instance of this program, given away by its private "<name> Hardware In" port:
    // its ports are a bridge's, never hardware.
    bool isInstance(int client, const std::string& name) {
        snd_seq_port_info_t* port;
        snd_seq_port_info_alloca(&port);
        snd_seq_port_info_set_client(port, client);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq_, port) >= 0) {
            if (name + " Hardware In" == snd_seq_port_info_get_name(port)) return true;
        }
        return false;
    }

    // The address table is rebuilt after each setup change.
    std::optional<Address> lookup(std::int32_t id, bool source) {
        std::lock_guard lock(cacheLock_);
        const unsigned generation = setupGeneration_.load();
        auto& cache = source ? sourceCache_ : destCache_;
        auto& cachedAt = source ? sourceCacheGen_ : destCacheGen_;
        if (cachedAt != generation) {
            cache.clear();
            listEndpoints(source, &cache);
            cachedAt = generation;
        }
        auto it = cache.find(id);
        if (it == cache.end()) return std::nullopt;
        return it->second;
    }

    // Called with setupLock_ held: connects the chosen source wherever it now is. A source that
    // left took its subscription with it, so a returning one is subscribed again.
    void follow() {
        const auto at = wantedIn_ != 0 ? lookup(wantedIn_, true) : std::nullopt;
        if (connectedIn_ && connectedIn_ != at) {
            snd_seq_disconnect_from(seq_, hwInPort_, connectedIn_->client, connectedIn_->port);
            connectedIn_.reset();
        }
        if (!at) return;
        const int r = snd_seq_connect_from(seq_, hwInPort_, at->client, at->port);
        if (r >= 0 || r == -EBUSY) connectedIn_ = at;  // EBUSY: still connected
    }

    void receive() {
        ::pthread_setname_np(::pthread_self(), "midi.in");  // shown by top -H and gdb
        askRealtime(kRealtimePriority);
        std::vector<pollfd> fds{{stopFd_, POLLIN, 0}};
        const int n = snd_seq_poll_descriptors_count(seq_, POLLIN);
        fds.resize(1 + static_cast<std::size_t>(n));
        snd_seq_poll_descriptors(seq_, fds.data() + 1, static_cast<unsigned>(n), POLLIN);
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents) return;
            drain();
        }
    }

    // Reads everything waiting, then answers setup changes once.
    void drain() {
        snd_seq_event_t* ev = nullptr;
        bool changed = false;
        int got = 0;
        for (;;) {
            const int r = snd_seq_event_input(seq_, &ev);
            if (r == -ENOSPC) {
                // Our queue overflowed and the sequencer emptied it; announcements may be
                // among what was lost, so look again.
                lost();
                changed = true;
                continue;
            }
            if (r < 0 || !ev) break;
            ++got;
            if (ev->dest.port == announcePort_) {
                changed = true;
            } else {
                deliver(*ev);
                if (batch_.size() >= kBatchLimit) handOver();
            }
        }
        if (got == 0 && !changed && stuck()) {
            // The event at the head is larger than any read can take and would hold up
            // everything behind it; the sequencer can only drop the queue as a whole.
            snd_seq_drop_input(seq_);
            lost();
        }
        handOver();
        if (changed) {
            ++setupGeneration_;
            {
                std::lock_guard lock(setupLock_);
                follow();
            }
            if (handlers_.setupChanged) handlers_.setupChanged();
        }
    }

    // What was read before a loss goes on first; the next hand-off says that input is missing.
    void lost() {
        ++input_;
        handOver();
        lostBefore_ = true;
    }

    // Events are waiting in the sequencer although a read returned none.
    bool stuck() {
        snd_seq_client_pool_t* pool;
        snd_seq_client_pool_alloca(&pool);
        return snd_seq_get_client_pool(seq_, pool) >= 0 &&
               snd_seq_client_pool_get_input_free(pool) < snd_seq_client_pool_get_input_pool(pool);
    }

    // Events read in one wake go on in one hand-off, each with its sender.
    void deliver(const snd_seq_event_t& ev) {
        const std::size_t at = batch_.size();
        if (ev.type == SND_SEQ_EVENT_SYSEX) {
            const auto* data = static_cast<const std::uint8_t*>(ev.data.ext.ptr);
            batch_.insert(batch_.end(), data, data + ev.data.ext.len);
        } else {
            unsigned char buf[16];
            snd_seq_event_t copy = ev;
            const long n = snd_midi_event_decode(decoder_, buf, sizeof buf, &copy);
            if (n > 0) batch_.insert(batch_.end(), buf, buf + n);
        }
        if (batch_.size() > at)
            marks_.push_back({static_cast<std::uint32_t>(ev.source.client) << 8 | ev.source.port,
                              at, batch_.size() - at});
    }

    void handOver() {
        if ((!marks_.empty() || lostBefore_) && handlers_.received) {
            events_.clear();
            for (const auto& m : marks_)
                events_.push_back({m.source, std::span(batch_).subspan(m.at, m.size)});
            handlers_.received(events_, lostBefore_);
        }
        lostBefore_ = false;
        batch_.clear();
        marks_.clear();
    }

    std::string name_;
    Handlers handlers_;
    snd_seq_t* seq_ = nullptr;
    int self_ = -1;
    int outPort_ = -1, inPort_ = -1, hwOutPort_ = -1, hwInPort_ = -1, announcePort_ = -1;
    snd_midi_event_t* decoder_ = nullptr;  // receive thread only
    // Receive thread only: what one wake read, each event's sender and place in batch_.
    struct Mark {
        std::uint32_t source;
        std::size_t at, size;
    };
    std::vector<std::uint8_t> batch_;
    std::vector<Mark> marks_;
    std::vector<Event> events_;
    bool lostBefore_ = false;
    static constexpr std::size_t kBatchLimit = 64 * 1024;
    int stopFd_ = -1;
    std::thread thread_;

    std::atomic<std::uint64_t> input_{0};
    std::atomic<unsigned> setupGeneration_{1};
    std::unique_ptr<AlsaWriter> writer_;  // ended first: nothing is sent once the end begins
    std::mutex cacheLock_;                // guards the address tables; taken last
    std::map<std::int32_t, Address> sourceCache_, destCache_;
    unsigned sourceCacheGen_ = 0, destCacheGen_ = 0;

    // The chosen hardware source, followed across replugs: the main thread chooses, the
    // receive thread reconnects after setup changes.
    std::mutex setupLock_;
    std::int32_t wantedIn_ = 0;
    std::optional<Address> connectedIn_;
};

}  // namespace

void silentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

MIDIService::Factory alsaMIDIFactory() {
    return [](const std::string& name,
              MIDIService::Handlers handlers) -> std::unique_ptr<MIDIService> {
        // alsa-lib prints its own errors to stderr; ours are reported once, with the cause.
        snd_lib_error_set_handler(&silentAlsaErrors);
        return std::make_unique<AlsaService>(name, std::move(handlers));
    };
}

std::string sequencerMissingHint(const std::string& release, const std::string& machine,
                                 bool moduleAvailable) {
    if (moduleAvailable)
        return "/dev/snd/seq is missing: load the kernel module snd-seq (sudo modprobe snd-seq)";
    const std::string arch = machine == "x86_64" ? "amd64" : machine == "aarch64" ? "arm64" : "";
    return "/dev/snd/seq is missing and this kernel (" + release +
           ") has no snd-seq module: install and boot a kernel with sound support (" +
           (arch.empty() ? "Debian's linux-image packages" : "package linux-image-" + arch) +
           "), then sudo modprobe snd-seq";
}

}  // namespace tessaryn
