#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "midi/midi_service.h"

namespace tessaryn {

// A MIDI endpoint offered to the user.
struct MIDIPortChoice {
    std::int32_t id = 0;
    std::string name;
    friend bool operator==(const MIDIPortChoice&, const MIDIPortChoice&) = default;
};

// The program's one connection to the MIDI system: the client, the virtual endpoints
// "<name> Out" and "<name> In", one hardware source listened to, and the endpoint lists.
//
// Threads: onMIDIIn runs on the service's receive thread; onPortsChanged on the main queue
// (through postToMain); availablePorts and listen on the main thread; publish/sendTo anywhere.
class MIDIEndpoints {
  public:
    using PostToMain = std::function<void(std::function<void()>)>;

    // Throws MIDIServiceError when the MIDI system cannot be opened.
    MIDIEndpoints(const std::string& name, const MIDIService::Factory& factory,
                  PostToMain postToMain);
    ~MIDIEndpoints();
    MIDIEndpoints(const MIDIEndpoints&) = delete;
    MIDIEndpoints& operator=(const MIDIEndpoints&) = delete;

    // Until set, received events and setup notifications are dropped.
    using MIDIInHandler =
        std::function<void(std::span<const MIDIService::Event> events, bool lostBefore)>;
    void setOnMIDIIn(MIDIInHandler handler);
    void setOnPortsChanged(std::function<void()> handler);

    // (sources, destinations), without this program's own endpoints; "MIDI" for a nameless one.
    std::pair<std::vector<MIDIPortChoice>, std::vector<MIDIPortChoice>> availablePorts();
    // Connects exactly the source with this ID (0: none), disconnecting the previous one.
    void listen(std::int32_t uniqueID);
    std::int32_t connectedIn() const { return connectedIn_; }

    std::int32_t ownSourceID() const { return ownSourceID_; }
    std::int32_t ownDestID() const { return ownDestID_; }
    MIDIService& service() { return *service_; }

  private:
    struct Shared {
        std::mutex lock;  // handlers are installed on the main thread while the service runs
        std::shared_ptr<const MIDIInHandler> onMIDIIn;
        std::shared_ptr<const std::function<void()>> onPortsChanged;
        // A rescan is posted and has not run yet: a storm of announcements posts one.
        std::atomic<bool> rescanPosted{false};
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::unique_ptr<MIDIService> service_;
    std::int32_t ownSourceID_ = 0;
    std::int32_t ownDestID_ = 0;
    std::int32_t connectedIn_ = 0;
};

// Puts one complete message on the virtual source and, when hardwareOutID is not 0 and names a
// present destination, on that destination. Failures are silent.
void sendToMIDI(MIDIEndpoints& midi, std::span<const std::uint8_t> message,
                std::int32_t hardwareOutID);
// The same for messages that arrived together: they leave in order, in one flush.
void sendAllToMIDI(MIDIEndpoints& midi, std::span<const MIDIMessage> messages,
                   std::int32_t hardwareOutID);

}  // namespace tessaryn
