#pragma once

#include <jack/jack.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "midi/midi_service.h"

namespace tessaryn {

// What the JACK backend asks of libjack outside the process callback: opening a client and saying
// why it could not, the other clients' MIDI ports, and noticing that a server has come back.

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

struct ClientCloser {
    void operator()(jack_client_t* c) const { jack_client_close(c); }
};
using JackClient = std::unique_ptr<jack_client_t, ClientCloser>;

// True when the libjack in use is PipeWire's (pw-jack, or the system's JACK library replaced).
bool pipeWireJack();

// PipeWire's JACK makes every client an audio node that always runs and pins the buffer size,
// unless told otherwise through PIPEWIRE_PROPS, which it reads at each client's opening; a MIDI
// bridge should do neither. To be called at start, before the program's other threads; the
// user's own setting wins.
void setPipeWireNodeProperties();

// Why a client named `name` could not open, with how to put it right.
std::string openProblem(const std::string& name, jack_status_t status);

// Before the client `c` has ports of its own: another client of this name has ports. PipeWire's
// JACK lets a second client take a name in use.
bool nameTaken(jack_client_t* c, const std::string& name);

// A MIDI port with a pretty name for patchbays (JACK metadata; a server without it ignores it).
jack_port_t* registerMIDIPort(jack_client_t* c, const std::string& port, unsigned long flags,
                              const char* pretty);

// MIDI ports of other clients with all of `flags`, leaving out the client `self` and other
// instances of this program (recognised by their "<client> In" port, physical and terminal).
// `names`, when given, receives the full port name of each listed endpoint.
std::vector<MIDIService::Endpoint> otherMIDIPorts(jack_client_t* c, const std::string& self,
                                                  unsigned long flags,
                                                  std::map<std::int32_t, std::string>* names);

// While no server runs: inotify watches the places where a server makes its socket (jackd2:
// /dev/shm/jack_<server>_<uid>_0; PipeWire: pipewire-0 in the runtime folder).
class ServerWatch {
  public:
    ServerWatch();
    int fd() const { return fd_.get(); }  // readable when something appeared
    void arm();
    void disarm();
    // Reads what appeared: true when a server's socket was among it.
    bool serverAppeared();

  private:
    Fd fd_;
    std::vector<int> watches_;
};

}  // namespace tessaryn
