#include "midi/alsa/alsa_midi.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
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

std::string sequencerAdvice() {
    if (::access("/dev/snd/seq", F_OK) == 0) return " (is /dev/snd/seq accessible?)";
    utsname host{};
    ::uname(&host);
    return ". " +
           sequencerMissingHint(host.release, host.machine, kernelHasSequencer(host.release));
}

constexpr unsigned kVirtualCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                  SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr unsigned kPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
// Largest SysEx piece per event: the receiving client's pool holds events in 28-byte cells.
constexpr long kSysexPiece = 256;
constexpr int kBurstPieces = 16;

struct Address {
    int client = 0;
    int port = 0;
};

class AlsaService final : public MIDIService {
  public:
    AlsaService(const std::string& name, Handlers handlers)
        : name_(name), handlers_(std::move(handlers)) {
        if (int e = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK); e < 0) {
            throw MIDIServiceError(std::string("Cannot open the ALSA sequencer: ") +
                                   snd_strerror(e) + sequencerAdvice());
        }
        snd_seq_set_client_name(seq_, name.c_str());
        snd_seq_set_client_pool_input(seq_, 2000);
        self_ = snd_seq_client_id(seq_);
        outPort_ = makePort(seq_, name + " Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                            kPortType);
        inPort_ = makePort(seq_, name + " In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                           kPortType);
        hwOutPort_ = makePort(seq_, name + " Hardware Out", SND_SEQ_PORT_CAP_READ,
                              SND_SEQ_PORT_TYPE_APPLICATION);
        hwInPort_ = makePort(seq_, name + " Hardware In", SND_SEQ_PORT_CAP_WRITE,
                             SND_SEQ_PORT_TYPE_APPLICATION);

        // Setup notifications on a handle of their own, so a flood of MIDI input never delays
        // them and they never sit between MIDI events.
        if (snd_seq_open(&announce_, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) == 0) {
            snd_seq_set_client_name(announce_, name.c_str());
            announceClient_ = snd_seq_client_id(announce_);
            const int port = makePort(announce_, name + " Announce", SND_SEQ_PORT_CAP_WRITE,
                                      SND_SEQ_PORT_TYPE_APPLICATION);
            snd_seq_connect_from(announce_, port, SND_SEQ_CLIENT_SYSTEM,
                                 SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        }
        snd_midi_event_new(kSysexPiece, &encoder_);
        snd_midi_event_new(16, &decoder_);
        snd_midi_event_no_status(decoder_, 1);  // every message with its status byte
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { receive(); });
    }

    ~AlsaService() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
        ::close(stopFd_);
        snd_midi_event_free(encoder_);
        snd_midi_event_free(decoder_);
        if (announce_) snd_seq_close(announce_);
        snd_seq_close(seq_);
    }

    std::int32_t ownSourceID() const override { return stableEndpointID(name_, name_ + " Out", 0); }
    std::int32_t ownDestinationID() const override {
        return stableEndpointID(name_, name_ + " In", 0);
    }

    std::vector<Endpoint> sources() override { return listEndpoints(true, nullptr); }
    std::vector<Endpoint> destinations() override { return listEndpoints(false, nullptr); }

    void publish(std::span<const std::uint8_t> m) override {
        std::lock_guard lock(outLock_);
        output(m, outPort_, nullptr);
    }

    bool sendTo(std::int32_t id, std::span<const std::uint8_t> m) override {
        std::lock_guard lock(outLock_);
        auto addr = lookup(id, false);
        if (!addr) return false;
        output(m, hwOutPort_, &*addr);
        return true;
    }

    bool connectSource(std::int32_t id) override {
        std::lock_guard lock(outLock_);
        auto addr = lookup(id, true);
        if (!addr || snd_seq_connect_from(seq_, hwInPort_, addr->client, addr->port) < 0)
            return false;
        connected_ = *addr;
        return true;
    }

    void disconnectSource() override {
        std::lock_guard lock(outLock_);
        if (connected_)
            snd_seq_disconnect_from(seq_, hwInPort_, connected_->client, connected_->port);
        connected_.reset();
    }

  private:
    static int makePort(snd_seq_t* seq, const std::string& name, unsigned caps, unsigned type) {
        return snd_seq_create_simple_port(seq, name.c_str(), caps, type);
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
            if (c == SND_SEQ_CLIENT_SYSTEM || c == self_ || c == announceClient_) continue;
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

    // Called with outLock_ held. The address table is rebuilt after each setup change.
    std::optional<Address> lookup(std::int32_t id, bool source) {
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

    // Called with outLock_ held. Sends one message, a SysEx in pieces of one message.
    void output(std::span<const std::uint8_t> m, int fromPort, const Address* to) {
        snd_midi_event_reset_encode(encoder_);
        const unsigned char* p = m.data();
        long left = static_cast<long>(m.size());
        int pieces = 0;
        while (left > 0) {
            // A reader's queue holds about 5 KB by default, and the sequencer empties a
            // reader's whole queue when it overflows. A long SysEx therefore goes out in bursts
            // of 4 KB with a breath between them: 4 MB/s, twenty times the fastest serial line.
            if (pieces > 0 && pieces % kBurstPieces == 0) ::usleep(1000);
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            const long used = snd_midi_event_encode(encoder_, p, left, &ev);
            if (used <= 0) break;
            p += used;
            left -= used;
            if (ev.type == SND_SEQ_EVENT_NONE) continue;
            ++pieces;
            snd_seq_ev_set_source(&ev, fromPort);
            if (to) {
                snd_seq_ev_set_dest(&ev, to->client, to->port);
            } else {
                snd_seq_ev_set_subs(&ev);
            }
            snd_seq_ev_set_direct(&ev);
            // A reader whose queue is full refuses the event for now; give it up to a second
            // rather than cutting a SysEx short.
            for (int tries = 0; tries < 2000; ++tries) {
                const int r = snd_seq_event_output_direct(seq_, &ev);
                if (r != -EAGAIN && r != -ENOMEM) break;
                ::usleep(500);
            }
        }
    }

    void receive() {
        std::vector<pollfd> fds;
        auto add = [&fds](snd_seq_t* s) {
            const int n = snd_seq_poll_descriptors_count(s, POLLIN);
            const std::size_t at = fds.size();
            fds.resize(at + static_cast<std::size_t>(n));
            snd_seq_poll_descriptors(s, fds.data() + at, static_cast<unsigned>(n), POLLIN);
        };
        fds.push_back({stopFd_, POLLIN, 0});
        add(seq_);
        if (announce_) add(announce_);
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents) return;
            drain(seq_, false);
            if (announce_) drain(announce_, true);
        }
    }

    void drain(snd_seq_t* s, bool announcements) {
        snd_seq_event_t* ev = nullptr;
        bool changed = false;
        for (;;) {
            const int r = snd_seq_event_input(s, &ev);
            if (r == -ENOSPC) continue;  // our input overflowed; keep reading
            if (r < 0 || !ev) break;
            if (announcements) {
                changed = true;
            } else {
                deliver(*ev);
            }
        }
        if (changed) {
            ++setupGeneration_;
            if (handlers_.setupChanged) handlers_.setupChanged();
        }
    }

    void deliver(const snd_seq_event_t& ev) {
        if (!handlers_.received) return;
        if (ev.type == SND_SEQ_EVENT_SYSEX) {
            const auto* data = static_cast<const std::uint8_t*>(ev.data.ext.ptr);
            if (ev.data.ext.len > 0) handlers_.received({data, ev.data.ext.len});
            return;
        }
        unsigned char buf[16];
        snd_seq_event_t copy = ev;
        const long n = snd_midi_event_decode(decoder_, buf, sizeof buf, &copy);
        if (n > 0) handlers_.received({buf, static_cast<std::size_t>(n)});
    }

    std::string name_;
    Handlers handlers_;
    snd_seq_t* seq_ = nullptr;
    snd_seq_t* announce_ = nullptr;
    int self_ = -1;
    int announceClient_ = -1;
    int outPort_ = -1, inPort_ = -1, hwOutPort_ = -1, hwInPort_ = -1;
    snd_midi_event_t* encoder_ = nullptr;  // guarded by outLock_
    snd_midi_event_t* decoder_ = nullptr;  // receive thread only
    int stopFd_ = -1;
    std::thread thread_;

    // Sends come from the serial queue and the main thread; alsa-lib's output buffer and our
    // encoder are not shared safely, so they take turns.
    std::mutex outLock_;
    std::atomic<unsigned> setupGeneration_{1};
    std::map<std::int32_t, Address> sourceCache_, destCache_;
    unsigned sourceCacheGen_ = 0, destCacheGen_ = 0;
    std::optional<Address> connected_;
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
