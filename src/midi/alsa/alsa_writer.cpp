#include "midi/alsa/alsa_writer.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "midi/alsa/reader_room.h"

namespace tessaryn {

namespace {

// Largest SysEx piece per event: the receiving client's pool holds events in 28-byte cells.
constexpr long kSysexPiece = 256;
// A reader's queue holds about 5 KB by default, and the sequencer empties a reader's whole queue
// when it overflows. Long output therefore goes out in bursts of 4 KB with a breath between
// them: at most 4 MB/s, twenty times the fastest serial line, and slower while a reader that
// is still reading has no room for the next burst.
constexpr std::size_t kBurstBytes = 4096;
constexpr int kBurstCells = (kBurstBytes / kSysexPiece) * (1 + (kSysexPiece + 27) / 28);
// The longest the output thread waits for readers to make room for one burst (see makeRoom). A
// reader that has not made room by then is not waited for until it has caught up: it loses what
// does not fit.
constexpr auto kPatience = std::chrono::milliseconds(100);

}  // namespace

AlsaWriter::AlsaWriter(snd_seq_t* seq, int outPort, int hwOutPort,
                       const std::atomic<unsigned>& setupGeneration)
    : seq_(seq),
      self_(snd_seq_client_id(seq)),
      outPort_(outPort),
      hwOutPort_(hwOutPort),
      setupGeneration_(setupGeneration) {
    pollfd out{};
    snd_seq_poll_descriptors(seq_, &out, 1, POLLOUT);
    fd_ = out.fd;
    snd_midi_event_new(kSysexPiece, &encoder_);
    outThread_ = std::thread([this] { writeBacklog(); });
}

AlsaWriter::~AlsaWriter() {
    {
        std::lock_guard lock(queueLock_);
        stopping_ = true;
        outWake_.notify_one();
    }
    outThread_.join();
    snd_midi_event_free(encoder_);
}

// Any thread. Written at once, on the caller's thread, when nothing waits and it need not wait
// for a reader; otherwise handed to the output thread, which may wait for readers, so
// that the serial side never does.
void AlsaWriter::send(std::span<const MIDIMessage> messages, bool toSubscribers,
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
        clearPending();
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
void AlsaWriter::writeBacklog() {
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
void AlsaWriter::encode(std::span<const std::uint8_t> m, bool toSubscribers,
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
void AlsaWriter::findReaders() {
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

// Called with outLock_ held: whether some reader of what is pending has room for it now, and
// whether one that is still reading has none (asking the sequencer only when what we last
// learned does not cover it). A stalled reader is neither until it has caught up. Never waits.
// Without a SysEx pending, one reader known to have room settles it: the others are not asked
// (20 readers near full were 20 questions to the sequencer for every message), except a stalled
// one now and then, to learn whether it has caught up.
AlsaWriter::Readiness AlsaWriter::readiness() {
    Readiness r;
    const auto now = std::chrono::steady_clock::now();
    auto knownReady = [&](const std::vector<int>& clients, int need) {
        return need > 0 && std::any_of(clients.begin(), clients.end(), [&](int client) {
                   const Reader& reader = readers_[client];
                   return !reader.stalled && reader.free >= need;
               });
    };
    const bool settled = !sysexPending_ && (knownReady(subsReaders_, subsCells_) ||
                                            knownReady(destReaders_, destCells_));
    auto look = [&](const std::vector<int>& clients, int need) {
        if (need == 0) return;
        for (const int client : clients) {
            Reader& reader = readers_[client];
            const bool ask = reader.stalled ? now - reader.askedAt >= kPatience : !settled;
            if (reader.free < need && ask) {
                const ReaderRoom room = readerRoom(fd_, client);
                reader.free = room.free < 0 ? std::numeric_limits<int>::max()
                                            : std::max(room.free - room.pool / 2, 0);
                if (reader.stalled) {
                    // Caught up once half its queue is free again; until then it loses.
                    reader.stalled = reader.free == 0;
                    reader.askedAt = now;
                }
            }
            if (reader.stalled) continue;
            (reader.free >= need ? r.ready : r.lacking) = true;
        }
    };
    look(subsReaders_, subsCells_);
    look(destReaders_, destCells_);
    return r;
}

// Called with outLock_ held, on the caller's thread: whether what is pending may be written now
// (see makeRoom for who is waited for). Never waits.
bool AlsaWriter::roomNow() {
    findReaders();
    const Readiness r = readiness();
    if (r.lacking && (sysexPending_ || !r.ready)) return false;
    takeRoom();
    return true;
}

void AlsaWriter::take(Reader& reader, int cells) {
    reader.free = std::max(reader.free - cells, 0);
}

// Called with outLock_ held: what is pending is written without more waiting, and what we know
// of each reader's room shrinks by it.
void AlsaWriter::takeRoom() {
    for (const int client : subsReaders_) take(readers_[client], subsCells_);
    for (const int client : destReaders_) take(readers_[client], destCells_);
}

// Called with outLock_ held, on the output thread, before a write. A SysEx waits for room in the
// queue of every reader that is still reading, all of them together at most kPatience a burst: a
// reader that misses part of one gets a SysEx with a hole. Anything else waits only while no
// reader has room, as long: waiting for one that lags would hold up every one that has room, so
// the one that lags gets what fits and loses the rest, counted, while a burst that outruns every
// reader costs nobody a wait and arrives whole. A reader that makes no room in that time is not
// waited for until it has caught up, and loses what does not fit.
void AlsaWriter::makeRoom() {
    findReaders();
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    if (sysexPending_) {
        if (subsCells_ > 0) {
            for (const int client : subsReaders_)
                ensureRoom(client, readers_[client], subsCells_, deadline);
        }
        if (destCells_ > 0) {
            for (const int client : destReaders_)
                ensureRoom(client, readers_[client], destCells_, deadline);
        }
        return;
    }
    for (Readiness r = readiness(); r.lacking && !r.ready; r = readiness()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            auto giveUp = [&](const std::vector<int>& clients, int need) {
                for (const int client : clients) {
                    Reader& reader = readers_[client];
                    if (need > 0 && !reader.stalled && reader.free < need) reader = {0, true, now};
                }
            };
            giveUp(subsReaders_, subsCells_);
            giveUp(destReaders_, destCells_);
            break;
        }
        ::usleep(500);
    }
    takeRoom();
}

void AlsaWriter::ensureRoom(int client, Reader& reader, int need,
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

bool AlsaWriter::isHardware(Address port) {
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    return snd_seq_get_any_port_info(seq_, port.client, port.port, info) < 0 ||
           (snd_seq_port_info_get_type(info) & SND_SEQ_PORT_TYPE_HARDWARE);
}

// Clients reading a port.
std::vector<int> AlsaWriter::readersOf(Address port) {
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
void AlsaWriter::append(const snd_seq_event_t& ev) {
    const auto* head = reinterpret_cast<const std::uint8_t*>(&ev);
    pending_.insert(pending_.end(), head, head + sizeof ev);
    if (snd_seq_ev_is_variable(&ev)) {
        const auto* data = static_cast<const std::uint8_t*>(ev.data.ext.ptr);
        pending_.insert(pending_.end(), data, data + ev.data.ext.len);
    }
    ends_.push_back(pending_.size());
    sysexPending_ = sysexPending_ || snd_seq_ev_is_variable(&ev);
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
void AlsaWriter::flush() {
    if (!stopping_) makeRoom();
    writePending();
}

void AlsaWriter::writePending() {
    std::size_t at = 0, next = 0;
    while (at < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + at, pending_.size() - at);
        if (n > 0) at += static_cast<std::size_t>(n);
        if (at == pending_.size()) break;
        while (ends_[next] <= at) ++next;
        at = ends_[next];
        ++toReaders_;
    }
    clearPending();
}

void AlsaWriter::clearPending() {
    pending_.clear();
    ends_.clear();
    burst_ = 0;
    subsCells_ = destCells_ = 0;
    sysexPending_ = false;
}

}  // namespace tessaryn
