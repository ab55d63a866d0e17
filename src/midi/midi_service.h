#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/midi_message.h"

namespace tessaryn {

// A MIDI system to bridge to (ALSA sequencer, loopback for tests). One instance holds the
// client, the virtual source "<name> Out", the virtual destination "<name> In" and the private
// ports for one hardware destination and one hardware source.
class MIDIService {
  public:
    struct Endpoint {
        std::int32_t id = 0;  // stable: derived from names, never from volatile addresses
        std::string name;     // empty when the service has none
    };
    // One event as the MIDI system delivered it: whole messages, or one piece of a SysEx.
    // `source` tells the senders apart for this run (an ALSA client and port, a JACK port): a
    // SysEx continues only within its source, and running status never carries over from one
    // event to the next.
    struct Event {
        std::uint32_t source = 0;
        std::span<const std::uint8_t> bytes;
    };
    // Called on a thread of the service: `received` once per batch of events read together (from
    // the virtual destination or the connected hardware source), in order; `lostBefore` when
    // input was lost since the previous batch (a queue overflowed, an event was too large to
    // read), so whatever a source had in progress is incomplete. `setupChanged` when endpoints
    // may have come or gone.
    struct Handlers {
        std::function<void(std::span<const Event> events, bool lostBefore)> received;
        std::function<void()> setupChanged;
    };
    using Factory = std::function<std::unique_ptr<MIDIService>(const std::string& name, Handlers)>;

    virtual ~MIDIService() = default;

    virtual std::int32_t ownSourceID() const = 0;
    virtual std::int32_t ownDestinationID() const = 0;
    // Hardware endpoints in the service's own order (the service's own ports may be included).
    virtual std::vector<Endpoint> sources() = 0;
    virtual std::vector<Endpoint> destinations() = 0;

    // Any thread. One complete message each; it leaves whole and at once.
    virtual void publish(std::span<const std::uint8_t> message) = 0;
    // False when no destination has that ID.
    virtual bool sendTo(std::int32_t id, std::span<const std::uint8_t> message) = 0;
    // Any thread. Messages that arrived together, each complete, in order: on the virtual
    // source and, when `hardwareOutID` is not 0 and names a destination, on it too. They
    // arrived together, so none waits for another: a backend flushes them at once. The default
    // sends them one by one.
    virtual void publishAll(std::span<const MIDIMessage> messages, std::int32_t hardwareOutID);

    // Main thread. False when no source has that ID or the connection failed. A service may
    // keep following the chosen ID, connecting it again whenever it reappears, until
    // disconnectSource.
    virtual bool connectSource(std::int32_t id) = 0;
    virtual void disconnectSource() = 0;

    // What was lost on the way, counted since start; any thread. `toReaders`: messages (or SysEx
    // pieces) that a reader or the hardware destination could not take because its queue was
    // full; the other readers got them. `input`: times received input was lost before it could
    // be read (the queue overflowed, or an event was larger than can be read).
    struct Losses {
        std::uint64_t toReaders = 0;
        std::uint64_t input = 0;
    };
    virtual Losses losses() const { return {}; }

    // Any thread. What keeps the MIDI system from working now (its server stopped), in words for
    // the status; empty while it works. A change of it is told through `setupChanged`.
    virtual std::string trouble() const { return {}; }
};

// The MIDI system cannot be opened; the message names the cause.
class MIDIServiceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A stable non-zero 32-bit ID for an endpoint, from its client and port names and the index
// among endpoints with the same two names.
std::int32_t stableEndpointID(std::string_view client, std::string_view port, int occurrence);

}  // namespace tessaryn
