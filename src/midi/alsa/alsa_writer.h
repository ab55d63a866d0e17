#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "midi/midi_message.h"

namespace tessaryn {

struct Address {
    int client = 0;
    int port = 0;
    friend bool operator==(const Address&, const Address&) = default;
};

// MIDI out of one sequencer client: to the subscribers of its port `outPort`, and from
// `hwOutPort` to one destination. Written on the caller's thread when it can go at once,
// otherwise by the output thread "midi.out", which waits a while for readers that are still
// reading (see makeRoom), so that a caller never does.
class AlsaWriter {
  public:
    // `seq` stays open, and `setupGeneration` alive, until the writer is gone; the generation
    // goes up after every change of ports or subscriptions.
    AlsaWriter(snd_seq_t* seq, int outPort, int hwOutPort,
               const std::atomic<unsigned>& setupGeneration);
    // What waits is written first, without waiting for readers.
    ~AlsaWriter();
    AlsaWriter(const AlsaWriter&) = delete;
    AlsaWriter& operator=(const AlsaWriter&) = delete;

    // Any thread; in order across threads.
    void send(std::span<const MIDIMessage> messages, bool toSubscribers,
              const std::optional<Address>& to);
    // Whole messages a reader lost, because it had no room or because too much waited.
    std::uint64_t lostToReaders() const { return toReaders_.load(); }

  private:
    struct Reader {
        int free = 0;                                   // cells known to be free in its queue
        bool stalled = false;                           // took too little while we waited
        std::chrono::steady_clock::time_point askedAt;  // a stalled one is asked seldom
    };

    void writeBacklog();
    void encode(std::span<const std::uint8_t> m, bool toSubscribers,
                const std::optional<Address>& to);
    struct Readiness {
        bool ready = false;    // a reader has room
        bool lacking = false;  // a reader that is still reading has none
    };
    void findReaders();
    Readiness readiness();
    bool roomNow();
    static void take(Reader& reader, int cells);
    void takeRoom();
    void makeRoom();
    void ensureRoom(int client, Reader& reader, int need,
                    std::chrono::steady_clock::time_point deadline);
    bool isHardware(Address port);
    std::vector<int> readersOf(Address port);
    void append(const snd_seq_event_t& ev);
    void flush();
    void writePending();
    void clearPending();

    snd_seq_t* seq_;
    int fd_ = -1;  // the sequencer's file, written directly (see flush())
    int self_;
    int outPort_, hwOutPort_;
    const std::atomic<unsigned>& setupGeneration_;
    std::atomic<std::uint64_t> toReaders_{0};

    // Sends come from the serial queue and the main thread. What cannot be written at once waits
    // in backlog_ for the output thread; while anything waits or is being written there, later
    // sends queue behind it, so order is kept. Guarded by queueLock_ (taken before outLock_):
    struct Queued {
        MIDIMessage bytes;
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
    bool sysexPending_ = false;          // a SysEx piece is among them
    Address dest_{-1, 0};                // of the pending events
    std::map<int, Reader> readers_;      // by client
    std::vector<int> subsReaders_;       // clients reading "<name> Out"
    std::vector<int> destReaders_;       // the destination's client, or the clients reading it
    unsigned readersAt_ = 0;             // setup generation of the two lists
    Address readersDest_{-1, 0};
    std::thread outThread_;  // last: started once every field is ready
};

}  // namespace tessaryn
