#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_service.h"

namespace tessaryn {

// An in-process MIDI system for engine tests. The test holds the hub, adds and removes fake
// hardware endpoints, injects packets (delivered on the hub's own thread, as a real service's
// receive thread would), and sees everything published and sent.
class LoopbackHub : public std::enable_shared_from_this<LoopbackHub> {
  public:
    using Bytes = std::vector<std::uint8_t>;

    LoopbackHub();
    ~LoopbackHub();

    MIDIService::Factory factory();

    std::int32_t addSource(const std::string& name);
    std::int32_t addDestination(const std::string& name);
    void remove(std::int32_t id);

    // As if the program `sender` sent one event to "<name> In".
    void sendToVirtualIn(Bytes packet, std::uint32_t sender = 1);
    // As if the hardware source `id` sent it; reaches the bridge only while connected.
    void sendFromSource(std::int32_t id, Bytes packet);

    // As if the service's input queue overflowed before the next event.
    void loseInput();

    std::vector<Bytes> published();
    std::vector<Bytes> sentTo(std::int32_t id);
    std::int32_t connectedSource();
    void clear();
    // Waits until `published()` holds at least `count` messages.
    bool waitForPublished(std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits until every injected packet has been delivered.
    void flush();

    struct Service;

  private:
    void post(std::function<void()> task);
    void notifySetup();
    std::int32_t add(const std::string& name, bool isSource);
    void deliver(std::int32_t id, std::uint32_t sender, Bytes packet, bool lost);

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    bool busy_ = false;
    std::int32_t nextID_ = 1000;
    std::map<std::int32_t, std::pair<std::string, bool>> endpoints_;  // id -> (name, isSource)
    std::vector<Bytes> published_;
    std::map<std::int32_t, std::vector<Bytes>> sent_;
    Service* service_ = nullptr;  // the one live service, if any
    std::int32_t connected_ = 0;
    std::thread thread_;
};

}  // namespace tessaryn
