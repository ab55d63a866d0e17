#include "midi/alsa/alsa_midi.h"

#include "midi/alsa/reader_room.h"
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
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <limits>
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
// Largest SysEx piece per event: the receiving client's pool holds events in 28-byte cells.
constexpr long kSysexPiece = 256;
// A reader's queue holds about 5 KB by default, and the sequencer empties a reader's whole queue
// when it overflows. Long output therefore goes out in bursts of 4 KB with a breath between
// them: at most 4 MB/s, twenty times the fastest serial line, and slower while a reader that
// is still reading has no room for the next burst.
constexpr std::size_t kBurstBytes = 4096;
constexpr int kBurstCells = (kBurstBytes / kSysexPiece) * (1 + (kSysexPiece + 27) / 28);
// The longest the output thread waits for the readers of one burst to make room. A reader that
// has not made room by then is not waited for until it has caught up: it loses what does not fit.
constexpr auto kPatience = std::chrono::milliseconds(100);
// The largest input pool a client may have. An event that needs as many cells as the pool
// holds is refused by the sequencer, so an input buffer of this many events reads any event
// that can reach us, and the whole queue in one read.
constexpr int kInputPool = 2000;

struct Address {
    int client = 0;
    int port = 0;
    friend bool operator==(const Address&, const Address&) = default;
};

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
        pollfd out{};
        snd_seq_poll_descriptors(seq_, &out, 1, POLLOUT);
        fd_ = out.fd;
        snd_midi_event_new(kSysexPiece, &encoder_);
        snd_midi_event_new(16, &decoder_);
        snd_midi_event_no_status(decoder_, 1);  // every message with its status byte
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread_ = std::thread([this] { receive(); });
        outThread_ = std::thread([this] { writeBacklog(); });
    }

    ~AlsaService() override {
        {
            std::lock_guard lock(queueLock_);
            stopping_ = true;
            outWake_.notify_one();
        }
        outThread_.join();
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
        ::close(stopFd_);
        snd_midi_event_free(encoder_);
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
        const std::vector<std::uint8_t> one(m.begin(), m.end());
        send(std::span(&one, 1), true, std::nullopt);
    }

    bool sendTo(std::int32_t id, std::span<const std::uint8_t> m) override {
        const auto to = lookup(id, false);
        if (!to) return false;
        const std::vector<std::uint8_t> one(m.begin(), m.end());
        send(std::span(&one, 1), false, to);
        return true;
    }

    void publishAll(std::span<const std::vector<std::uint8_t>> messages,
                    std::int32_t hardwareOutID) override {
        send(messages, true, hardwareOutID != 0 ? lookup(hardwareOutID, false) : std::nullopt);
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

    Losses losses() const override { return {toReaders_.load(), input_.load()}; }

  private:
    struct Reader {
        int free = 0;                                   // cells known to be free in its queue
        bool stalled = false;                           // took too little while we waited
        std::chrono::steady_clock::time_point askedAt;  // a stalled one is asked seldom
    };

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

    // Any thread. Written at once, on the caller's thread, when nothing waits and every reader
    // has room for it; otherwise handed to the output thread, which may wait for readers, so
    // that the serial side never does.
    void send(std::span<const std::vector<std::uint8_t>> messages, bool toSubscribers,
              const std::optional<Address>& to) {
        std::lock_guard queue(queueLock_);
        if (backlog_.empty() && !draining_) {
            std::lock_guard lock(outLock_);
            direct_ = true;
            for (const auto& m : messages) encode(m, toSubscribers, to);
            direct_ = false;
            if (!tooMuch_ && roomNow()) {
                writePending();
                return;
            }
            tooMuch_ = false;
            pending_.clear();
            ends_.clear();
            burst_ = 0;
            subsCells_ = destCells_ = 0;
        }
        for (const auto& m : messages) {
            if (m.empty()) continue;
            backlog_.push_back({m, toSubscribers, to});
            backlogBytes_ += m.size();
        }
        // Readers that fall this far behind lose the oldest whole messages, counted.
        while (backlogBytes_ > kBacklogLimit && backlog_.size() > 1) {
            backlogBytes_ -= backlog_.front().bytes.size();
            backlog_.pop_front();
            ++toReaders_;
        }
        outWake_.notify_one();
    }

    // The output thread "midi.out": writes what could not go at once, in order, waiting for
    // readers that are still reading.
    void writeBacklog() {
        ::pthread_setname_np(::pthread_self(), "midi.out");
        std::unique_lock queue(queueLock_);
        for (;;) {
            outWake_.wait(queue, [this] { return stopping_ || !backlog_.empty(); });
            // What was sent before the end (held notes released last of all) still goes out,
            // without waiting for readers.
            if (backlog_.empty()) return;
            std::deque<Queued> items;
            items.swap(backlog_);
            backlogBytes_ = 0;
            draining_ = true;
            queue.unlock();
            {
                std::lock_guard lock(outLock_);
                for (const auto& item : items) encode(item.bytes, item.toSubscribers, item.to);
                flush();
            }
            queue.lock();
            draining_ = false;
        }
    }

    // Called with outLock_ held. Adds one message, a SysEx in pieces, for the subscribers of
    // "<name> Out" and/or one destination; a full burst is written before more is added (on
    // the caller's thread, which writes only one burst, it is marked too much instead).
    void encode(std::span<const std::uint8_t> m, bool toSubscribers,
                const std::optional<Address>& to) {
        snd_midi_event_reset_encode(encoder_);
        const unsigned char* p = m.data();
        long left = static_cast<long>(m.size());
        while (left > 0) {
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            const long used = snd_midi_event_encode(encoder_, p, left, &ev);
            if (used <= 0) break;
            p += used;
            left -= used;
            if (ev.type == SND_SEQ_EVENT_NONE) continue;
            const bool full = burst_ >= kBurstBytes || subsCells_ + destCells_ >= kBurstCells;
            if (full && direct_) {
                tooMuch_ = true;
                return;
            }
            if (burst_ >= kBurstBytes) {
                flush();
                // Kernel clients (Midi Through, hardware ports) cannot be asked for room.
                ::usleep(1000);
            } else if (full) {
                flush();
            }
            burst_ += static_cast<std::size_t>(used);
            snd_seq_ev_set_direct(&ev);
            if (toSubscribers) {
                snd_seq_ev_set_source(&ev, outPort_);
                snd_seq_ev_set_subs(&ev);
                append(ev);
            }
            if (to) {
                snd_seq_ev_set_source(&ev, hwOutPort_);
                snd_seq_ev_set_dest(&ev, to->client, to->port);
                append(ev);
            }
        }
    }

    // Called with outLock_ held: the readers of what is pending, looked up again after setup
    // changes. A kernel destination cannot be asked; Midi Through passes what it gets on to
    // the programs reading it, which can. A hardware port's readers are never waited for: what
    // we send there goes to a device, not to them.
    void findReaders() {
        const unsigned generation = setupGeneration_.load();
        if (readersAt_ == generation && readersDest_ == dest_) return;
        subsReaders_ = readersOf({self_, outPort_});
        destReaders_.clear();
        if (dest_.client >= 0) {
            if (readerRoom(fd_, dest_.client).free >= 0) {
                destReaders_.push_back(dest_.client);
            } else if (!isHardware(dest_)) {
                destReaders_ = readersOf(dest_);
            }
        }
        readersAt_ = generation;
        readersDest_ = dest_;
    }

    // Called with outLock_ held, on the caller's thread: whether every reader that is still
    // reading has room for what is pending, asking the sequencer only when what we last
    // learned does not cover it. Never waits.
    bool roomNow() {
        findReaders();
        auto fits = [this](const std::vector<int>& clients, int need) {
            for (const int client : clients) {
                Reader& reader = readers_[client];
                if (need == 0 || reader.free >= need) continue;
                const auto now = std::chrono::steady_clock::now();
                if (reader.stalled && now - reader.askedAt < kPatience) continue;
                const ReaderRoom room = readerRoom(fd_, client);
                reader.free = room.free < 0 ? std::numeric_limits<int>::max()
                                            : std::max(room.free - room.pool / 2, 0);
                if (reader.stalled) {
                    // Caught up once half its queue is free again; until then it loses.
                    reader.stalled = reader.free == 0;
                    reader.askedAt = now;
                    if (reader.stalled) continue;
                }
                if (reader.free < need) return false;
            }
            return true;
        };
        if (!fits(subsReaders_, subsCells_) || !fits(destReaders_, destCells_)) return false;
        for (const int client : subsReaders_) take(readers_[client], subsCells_);
        for (const int client : destReaders_) take(readers_[client], destCells_);
        return true;
    }

    static void take(Reader& reader, int cells) { reader.free = std::max(reader.free - cells, 0); }

    // Called with outLock_ held, on the output thread, before a write: room in every reader's
    // queue for what is pending for it. A reader that is still reading is waited for, all of
    // them together at most kPatience a burst; one that does not make room in that time is not
    // waited for until it has caught up, and loses what does not fit.
    void makeRoom() {
        findReaders();
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        if (subsCells_ > 0) {
            for (const int client : subsReaders_)
                ensureRoom(client, readers_[client], subsCells_, deadline);
        }
        if (destCells_ > 0) {
            for (const int client : destReaders_)
                ensureRoom(client, readers_[client], destCells_, deadline);
        }
    }

    void ensureRoom(int client, Reader& reader, int need,
                    std::chrono::steady_clock::time_point deadline) {
        if (reader.free >= need) {
            reader.free -= need;
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        if (reader.stalled && start - reader.askedAt < kPatience) return;
        reader.askedAt = start;
        ReaderRoom room = readerRoom(fd_, client);
        if (room.free < 0) {  // a kernel client: no queue to ask about
            reader.free = std::numeric_limits<int>::max();
            return;
        }
        // Half of every queue stays in reserve for the reader's hiccups and other senders.
        const int reserve = room.pool / 2;
        need = std::min(need, room.pool - reserve);
        if (reader.stalled && room.free - reserve < need) {
            reader.free = 0;
            return;
        }
        reader.stalled = false;
        while (room.free >= 0 && room.free - reserve < need) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                reader = {0, true, now};
                return;
            }
            ::usleep(500);
            room = readerRoom(fd_, client);
        }
        reader.free = std::max(room.free - reserve - need, 0);
    }

    bool isHardware(Address port) {
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        return snd_seq_get_any_port_info(seq_, port.client, port.port, info) < 0 ||
               (snd_seq_port_info_get_type(info) & SND_SEQ_PORT_TYPE_HARDWARE);
    }

    // Clients reading a port.
    std::vector<int> readersOf(Address port) {
        std::vector<int> out;
        snd_seq_query_subscribe_t* q;
        snd_seq_query_subscribe_alloca(&q);
        const snd_seq_addr_t root{static_cast<unsigned char>(port.client),
                                  static_cast<unsigned char>(port.port)};
        snd_seq_query_subscribe_set_root(q, &root);
        snd_seq_query_subscribe_set_type(q, SND_SEQ_QUERY_SUBS_READ);
        for (int i = 0;; ++i) {
            snd_seq_query_subscribe_set_index(q, i);
            if (snd_seq_query_port_subscribers(seq_, q) < 0) break;
            out.push_back(snd_seq_query_subscribe_get_addr(q)->client);
        }
        return out;
    }

    // Lays an event out as the sequencer reads it: the event, then its variable-length data.
    void append(const snd_seq_event_t& ev) {
        const auto* head = reinterpret_cast<const std::uint8_t*>(&ev);
        pending_.insert(pending_.end(), head, head + sizeof ev);
        if (snd_seq_ev_is_variable(&ev)) {
            const auto* data = static_cast<const std::uint8_t*>(ev.data.ext.ptr);
            pending_.insert(pending_.end(), data, data + ev.data.ext.len);
        }
        ends_.push_back(pending_.size());
        const int cells = 1 + (snd_seq_ev_is_variable(&ev)
                                   ? static_cast<int>((ev.data.ext.len + sizeof ev - 1) / sizeof ev)
                                   : 0);
        if (ev.dest.client == SND_SEQ_ADDRESS_SUBSCRIBERS) {
            subsCells_ += cells;
        } else {
            destCells_ += cells;
            dest_ = {ev.dest.client, ev.dest.port};
        }
    }

    // The sequencer takes the events in order and stops at the first one a receiver refuses (a
    // full queue, a destination gone), reporting how far it got. For a send to subscribers,
    // the others already have that event, so it is skipped, never sent again: alsa-lib's own
    // drain would resend it and duplicate it for every healthy reader. Only the output thread
    // waits for readers, before it writes.
    void flush() {
        if (!stopping_) makeRoom();
        writePending();
    }

    void writePending() {
        std::size_t at = 0, next = 0;
        while (at < pending_.size()) {
            const ssize_t n = ::write(fd_, pending_.data() + at, pending_.size() - at);
            if (n > 0) at += static_cast<std::size_t>(n);
            if (at == pending_.size()) break;
            while (ends_[next] <= at) ++next;
            at = ends_[next];
            ++toReaders_;
        }
        pending_.clear();
        ends_.clear();
        burst_ = 0;
        subsCells_ = destCells_ = 0;
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
    int fd_ = -1;  // the sequencer's file, written directly (see flush())
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

    // Sends come from the serial queue and the main thread. What cannot be written at once waits
    // in backlog_ for the output thread; while anything waits or is being written there, later
    // sends queue behind it, so order is kept. Guarded by queueLock_ (taken before outLock_):
    struct Queued {
        std::vector<std::uint8_t> bytes;
        bool toSubscribers;
        std::optional<Address> to;
    };
    std::mutex queueLock_;
    std::condition_variable outWake_;
    std::deque<Queued> backlog_;
    std::size_t backlogBytes_ = 0;
    // What may wait for the output thread: the largest SysEx the device side makes, and more.
    static constexpr std::size_t kBacklogLimit = 2 << 20;
    bool draining_ = false;  // the output thread is writing what it took from backlog_
    std::atomic<bool> stopping_{false};
    std::thread outThread_;

    // Writers take turns, so that a SysEx's pieces are never interleaved with another message.
    // Guarded by outLock_:
    std::mutex outLock_;
    bool direct_ = false;   // encoding on the caller's thread: one burst at most
    bool tooMuch_ = false;  // what was encoded there needs more than one burst
    snd_midi_event_t* encoder_ = nullptr;
    std::vector<std::uint8_t> pending_;  // events laid out for the sequencer
    std::vector<std::size_t> ends_;      // where each event in pending_ ends
    std::size_t burst_ = 0;              // bytes of MIDI in pending_
    int subsCells_ = 0, destCells_ = 0;  // sequencer cells pending for each reader
    Address dest_{-1, 0};                // of the pending events
    std::map<int, Reader> readers_;      // by client
    std::vector<int> subsReaders_;       // clients reading "<name> Out"
    std::vector<int> destReaders_;       // the destination's client, or the clients reading it
    unsigned readersAt_ = 0;             // setup generation of the two lists
    Address readersDest_{-1, 0};

    std::atomic<std::uint64_t> toReaders_{0}, input_{0};
    std::atomic<unsigned> setupGeneration_{1};
    std::mutex cacheLock_;  // guards the address tables; taken last
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
