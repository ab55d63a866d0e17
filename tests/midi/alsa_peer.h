#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "midi/handoff.h"

namespace tessaryn::testing {

// Another program on the ALSA sequencer, for tests: finds ports by name, never by number.
class Peer {
  public:
    // Reads as soon as input arrives (readEvery 0), or at most every readEvery, or never (a
    // negative readEvery: a suspended program, whose queue fills and stays full).
    explicit Peer(const char* name = "Peer", int inputPool = 2000,
                  std::chrono::milliseconds readEvery = 0ms)
        : readEvery(readEvery) {
        EXPECT_EQ(snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
        snd_seq_set_client_name(seq, name);
        snd_seq_set_client_pool_input(seq, inputPool);
        port = snd_seq_create_simple_port(
            seq, "Peer Port",
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE |
                SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        snd_midi_event_new(16, &decoder);
        snd_midi_event_no_status(decoder, 1);
        snd_midi_event_new(256, &encoder);
        stopFd = ::eventfd(0, 0);
        if (readEvery >= 0ms) reader = std::thread([this] { read(); });
    }
    ~Peer() {
        ::eventfd_write(stopFd, 1);
        if (reader.joinable()) reader.join();
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
                if (portName == snd_seq_port_info_get_name(p))
                    return {snd_seq_port_info_get_client(p), snd_seq_port_info_get_port(p),
                            snd_seq_port_info_get_capability(p)};
            }
        }
        return {};
    }
    void subscribeTo(const std::string& portName) {
        const Found f = find(portName);
        ASSERT_EQ(snd_seq_connect_from(seq, port, f.client, f.port), 0) << portName;
    }
    void sendTo(const std::string& portName, const Bytes& m) {
        const Found f = find(portName);
        ASSERT_GE(f.client, 0) << portName;
        ASSERT_EQ(output(m, f.client, f.port), 0);
    }
    // To every program subscribed to our port, as a device would.
    void publish(const Bytes& m) { ASSERT_EQ(output(m, SND_SEQ_ADDRESS_SUBSCRIBERS, 0), 0); }
    // The whole SysEx as one event: the sequencer's result (a negative errno when refused).
    int sendSysexEvent(const std::string& portName, std::span<const std::uint8_t> m) {
        const Found f = find(portName);
        snd_seq_event_t ev{};
        snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(m.size()),
                             const_cast<std::uint8_t*>(m.data()));
        return deliver(ev, f.client, f.port);
    }
    // One event from our port, at once: the sequencer's result (a negative errno when refused).
    // The client SND_SEQ_ADDRESS_SUBSCRIBERS sends to every reader of our port.
    int deliver(snd_seq_event_t& ev, int client, int destPort) {
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_dest(&ev, client, destPort);
        snd_seq_ev_set_direct(&ev);
        return std::min(snd_seq_event_output_direct(seq, &ev), 0);
    }
    // Programs reading our port.
    int readers() {
        snd_seq_port_info_t* p;
        snd_seq_port_info_alloca(&p);
        snd_seq_get_port_info(seq, port, p);
        return snd_seq_port_info_get_read_use(p);
    }
    // Clients with this name, as a port list shows them.
    int clientsNamed(const std::string& name) {
        snd_seq_client_info_t* c;
        snd_seq_client_info_alloca(&c);
        snd_seq_client_info_set_client(c, -1);
        int n = 0;
        while (snd_seq_query_next_client(seq, c) >= 0) n += name == snd_seq_client_info_get_name(c);
        return n;
    }

    Inbox inbox;
    std::atomic<int> overflows{0};  // the kernel dropped input for us
    snd_seq_t* seq = nullptr;
    int port = -1;

  private:
    // The first refusal of the sequencer, or 0.
    int output(const Bytes& m, int client, int destPort) {
        snd_midi_event_reset_encode(encoder);
        for (std::size_t at = 0; at < m.size();) {
            snd_seq_event_t ev{};
            const long used = snd_midi_event_encode(encoder, &m[at], long(m.size() - at), &ev);
            if (used <= 0) return -EINVAL;
            at += std::size_t(used);
            if (ev.type == SND_SEQ_EVENT_NONE) continue;
            if (const int r = deliver(ev, client, destPort); r < 0) return r;
        }
        return 0;
    }
    void read() {
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {}};
        snd_seq_poll_descriptors(seq, &fds[1], 1, POLLIN);  // a sequencer handle has one
        snd_seq_nonblock(seq, 1);
        Bytes batch, decoded(1 << 16);  // room for the largest event the sequencer delivers
        for (;;) {
            ::poll(fds, 2, -1);
            if (fds[0].revents) return;
            // Decode all that is waiting, then hand it over at once: a reader that takes a
            // lock per event falls behind a fast sender, and the sequencer then empties its
            // whole queue.
            batch.clear();
            snd_seq_event_t* ev;
            for (int r; (r = snd_seq_event_input(seq, &ev)) >= 0 || r == -ENOSPC;) {
                overflows += r == -ENOSPC;
                const long n =
                    r < 0 ? 0 : snd_midi_event_decode(decoder, decoded.data(), decoded.size(), ev);
                if (n > 0) batch.insert(batch.end(), decoded.begin(), decoded.begin() + n);
            }
            if (!batch.empty()) inbox.add(batch);
            if (readEvery > 0ms) std::this_thread::sleep_for(readEvery);
        }
    }
    std::chrono::milliseconds readEvery;
    snd_midi_event_t* decoder = nullptr;
    snd_midi_event_t* encoder = nullptr;
    int stopFd = -1;
    std::thread reader;
};

// The main of an ALSA suite: skipped (77) where there is no sequencer, failed inside the test VM.
inline int runAlsaTests(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::access("/dev/snd/seq", F_OK) == 0) return RUN_ALL_TESTS();
    std::fprintf(stderr, "no ALSA sequencer here (/dev/snd/seq); run scripts/alsa-vm.sh\n");
    return std::getenv("ALSAVM") ? 1 : 77;
}

}  // namespace tessaryn::testing
