// The ALSA backend against a real sequencer. Runs inside the test VM (ALSAVM=1), where a missing
// sequencer is a failure; elsewhere without /dev/snd/seq it skips.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "midi/alsa/alsa_midi.h"
#include "midi/midi_endpoints.h"

using namespace std::chrono_literals;
using namespace tessaryn;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Stands in for the main queue: tasks are run when the test asks.
struct MainTasks {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> tasks;
    MIDIEndpoints::PostToMain poster() {
        return [this](std::function<void()> f) {
            std::lock_guard lock(m);
            tasks.push_back(std::move(f));
            cv.notify_all();
        };
    }
    // Runs tasks until `done` holds or the timeout passes.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::unique_lock lock(m);
            if (!cv.wait_until(lock, end, [&] { return !tasks.empty(); })) return done();
            auto f = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            f();
        }
        return true;
    }
};

// Collects bytes handed over on another thread.
struct Inbox {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Bytes> packets;
    std::size_t total = 0;
    void add(std::span<const std::uint8_t> b) {
        std::lock_guard lock(m);
        packets.emplace_back(b.begin(), b.end());
        total += b.size();
        cv.notify_all();
    }
    Bytes joined() {
        std::lock_guard lock(m);
        Bytes all;
        for (const auto& p : packets) all.insert(all.end(), p.begin(), p.end());
        return all;
    }
    bool waitBytes(std::size_t n, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, timeout, [&] { return total >= n; });
    }
    void clear() {
        std::lock_guard lock(m);
        packets.clear();
        total = 0;
    }
};

// Another program on the sequencer: finds ports by name, never by number.
class Peer {
  public:
    explicit Peer(const char* name = "Peer") {
        EXPECT_EQ(snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
        snd_seq_set_client_name(seq, name);
        snd_seq_set_client_pool_input(seq, 2000);
        port = snd_seq_create_simple_port(
            seq, "Peer Port",
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE |
                SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        snd_midi_event_new(16, &decoder);
        snd_midi_event_no_status(decoder, 1);
        snd_midi_event_new(256, &encoder);
        stopFd = ::eventfd(0, 0);
        reader = std::thread([this] { read(); });
    }
    ~Peer() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stopFd, &one, sizeof one);
        reader.join();
        ::close(stopFd);
        snd_midi_event_free(decoder);
        snd_midi_event_free(encoder);
        snd_seq_close(seq);
    }

    struct Found {
        int client = -1, port = -1;
        unsigned caps = 0;
    };
    Found find(const std::string& portName) {
        snd_seq_client_info_t* c;
        snd_seq_port_info_t* p;
        snd_seq_client_info_alloca(&c);
        snd_seq_port_info_alloca(&p);
        snd_seq_client_info_set_client(c, -1);
        while (snd_seq_query_next_client(seq, c) >= 0) {
            snd_seq_port_info_set_client(p, snd_seq_client_info_get_client(c));
            snd_seq_port_info_set_port(p, -1);
            while (snd_seq_query_next_port(seq, p) >= 0) {
                if (portName == snd_seq_port_info_get_name(p)) {
                    return {snd_seq_port_info_get_client(p), snd_seq_port_info_get_port(p),
                            snd_seq_port_info_get_capability(p)};
                }
            }
        }
        return {};
    }
    void subscribeTo(const std::string& portName) {
        const Found f = find(portName);
        ASSERT_GE(f.client, 0) << portName;
        ASSERT_EQ(snd_seq_connect_from(seq, port, f.client, f.port), 0);
    }
    void sendTo(const std::string& portName, const Bytes& m) {
        const Found f = find(portName);
        ASSERT_GE(f.client, 0) << portName;
        snd_midi_event_reset_encode(encoder);
        const unsigned char* p = m.data();
        long left = static_cast<long>(m.size());
        while (left > 0) {
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            const long used = snd_midi_event_encode(encoder, p, left, &ev);
            ASSERT_GT(used, 0);
            p += used;
            left -= used;
            if (ev.type == SND_SEQ_EVENT_NONE) continue;
            snd_seq_ev_set_source(&ev, port);
            snd_seq_ev_set_dest(&ev, f.client, f.port);
            snd_seq_ev_set_direct(&ev);
            ASSERT_GE(snd_seq_event_output_direct(seq, &ev), 0);
        }
    }

    Inbox inbox;
    snd_seq_t* seq = nullptr;
    int port = -1;

  private:
    void read() {
        const int n = snd_seq_poll_descriptors_count(seq, POLLIN);
        std::vector<pollfd> fds(static_cast<std::size_t>(n) + 1);
        fds[0] = {stopFd, POLLIN, 0};
        snd_seq_poll_descriptors(seq, fds.data() + 1, static_cast<unsigned>(n), POLLIN);
        snd_seq_nonblock(seq, 1);
        for (;;) {
            ::poll(fds.data(), fds.size(), -1);
            if (fds[0].revents) return;
            snd_seq_event_t* ev;
            while (snd_seq_event_input(seq, &ev) >= 0 && ev) {
                if (ev->type == SND_SEQ_EVENT_SYSEX) {
                    inbox.add(
                        {static_cast<const std::uint8_t*>(ev->data.ext.ptr), ev->data.ext.len});
                    continue;
                }
                unsigned char buf[16];
                const long len = snd_midi_event_decode(decoder, buf, sizeof buf, ev);
                if (len > 0) inbox.add({buf, static_cast<std::size_t>(len)});
            }
        }
    }
    snd_midi_event_t* decoder = nullptr;
    snd_midi_event_t* encoder = nullptr;
    int stopFd = -1;
    std::thread reader;
};

Bytes sysex(std::size_t length) {
    Bytes m(length);
    m.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < length; ++i) m[i] = static_cast<std::uint8_t>((i * 7) & 0x7F);
    m.back() = 0xF7;
    return m;
}

std::int32_t idOf(const std::vector<MIDIPortChoice>& list, const std::string& name) {
    for (const auto& c : list) {
        if (c.name == name) return c.id;
    }
    return 0;
}

class AlsaEndpoints : public ::testing::Test {
  protected:
    MainTasks main;
    Inbox received;
    std::unique_ptr<MIDIEndpoints> midi;
    void SetUp() override {
        midi = std::make_unique<MIDIEndpoints>("Halvenor", alsaMIDIFactory(), main.poster());
        midi->setOnMIDIIn([this](std::span<const std::uint8_t> b) { received.add(b); });
    }
};

}  // namespace

TEST_F(AlsaEndpoints, OtherProgramsSeeTheVirtualPortsButWeNeverListOurOwn) {
    Peer peer;
    const auto out = peer.find("Halvenor Out");
    const auto in = peer.find("Halvenor In");
    ASSERT_GE(out.client, 0);
    ASSERT_GE(in.client, 0);
    EXPECT_EQ(out.caps & (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ),
              unsigned(SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ));
    EXPECT_EQ(in.caps & (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE),
              unsigned(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE));
    EXPECT_EQ(peer.find("Halvenor Hardware Out").caps & SND_SEQ_PORT_CAP_SUBS_READ, 0u);

    const auto [sources, destinations] = midi->availablePorts();
    for (const auto& list : {sources, destinations}) {
        for (const auto& c : list) {
            EXPECT_EQ(c.name.rfind("Halvenor", 0), std::string::npos) << c.name;
            EXPECT_NE(c.id, 0);
        }
    }
    EXPECT_NE(idOf(sources, "Peer Port"), 0);
    EXPECT_NE(idOf(destinations, "Midi Through Port-0"), 0);
}

TEST_F(AlsaEndpoints, SentMessagesArriveWholeAtSubscribersAndTheChosenDestination) {
    Peer listener("Listener");
    listener.subscribeTo("Halvenor Out");
    Peer through("Through Watcher");
    through.subscribeTo("Midi Through Port-0");
    const std::int32_t throughID = idOf(midi->availablePorts().second, "Midi Through Port-0");
    ASSERT_NE(throughID, 0);

    const Bytes note{0x90, 0x3C, 0x64};
    const Bytes mid = sysex(3000);
    const Bytes big = sysex(1 << 20);
    Bytes all;
    for (const Bytes* m : {&note, &mid, &big}) all.insert(all.end(), m->begin(), m->end());

    for (const Bytes* m : {&note, &mid, &big}) sendToMIDI(*midi, *m, throughID);
    ASSERT_TRUE(listener.inbox.waitBytes(all.size(), 60s));
    EXPECT_EQ(listener.inbox.joined(), all);
    ASSERT_TRUE(through.inbox.waitBytes(all.size(), 60s))
        << through.inbox.joined().size() << " of " << all.size() << " packets "
        << through.inbox.packets.size();
    EXPECT_EQ(through.inbox.joined(), all);

    // A stale hardware ID is skipped; the virtual source still gets the message.
    listener.inbox.clear();
    sendToMIDI(*midi, note, 12345);
    sendToMIDI(*midi, {}, 0);
    ASSERT_TRUE(listener.inbox.waitBytes(3));
    EXPECT_EQ(listener.inbox.joined(), note);
}

TEST_F(AlsaEndpoints, InputFromHalvenorInAndTheListenedSourceArrivesOnce) {
    Peer peer;
    peer.sendTo("Halvenor In", {0x90, 0x3C, 0x64});
    ASSERT_TRUE(received.waitBytes(3));
    const std::int32_t throughSource = idOf(midi->availablePorts().first, "Midi Through Port-0");
    ASSERT_NE(throughSource, 0);
    midi->listen(throughSource);
    EXPECT_EQ(midi->connectedIn(), throughSource);
    midi->listen(throughSource);  // again: still exactly one connection
    peer.sendTo("Midi Through Port-0", {0xB0, 0x07, 0x40});
    ASSERT_TRUE(received.waitBytes(6));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(received.joined(), (Bytes{0x90, 0x3C, 0x64, 0xB0, 0x07, 0x40}));

    midi->listen(0);
    EXPECT_EQ(midi->connectedIn(), 0);
    midi->listen(77777);  // vanished
    EXPECT_EQ(midi->connectedIn(), 0);
    peer.sendTo("Midi Through Port-0", {0xB0, 0x07, 0x41});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(received.joined().size(), 6u);
}

TEST_F(AlsaEndpoints, ClientsComingAndGoingAreAnnouncedAndKeepTheirIDs) {
    std::atomic<int> changes{0};
    midi->setOnPortsChanged([&] { ++changes; });
    std::int32_t firstID = 0;
    {
        Peer peer("Restarting Synth");
        ASSERT_TRUE(main.runUntil([&] { return changes > 0; }));
        firstID = idOf(midi->availablePorts().first, "Peer Port");
        ASSERT_NE(firstID, 0);
    }
    const int afterLeave = changes;
    ASSERT_TRUE(main.runUntil([&] { return changes > afterLeave; }));
    EXPECT_EQ(idOf(midi->availablePorts().first, "Peer Port"), 0);
    Peer again("Restarting Synth");
    ASSERT_TRUE(
        main.runUntil([&] { return idOf(midi->availablePorts().first, "Peer Port") != 0; }));
    EXPECT_EQ(idOf(midi->availablePorts().first, "Peer Port"), firstID);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::access("/dev/snd/seq", F_OK) != 0) {
        if (std::getenv("ALSAVM")) {
            std::fprintf(stderr, "no ALSA sequencer inside the test VM\n");
            return 1;
        }
        std::fprintf(stderr,
                     "no ALSA sequencer here (/dev/snd/seq): skipped; run scripts/alsa-vm.sh\n");
        return 77;
    }
    return RUN_ALL_TESTS();
}
