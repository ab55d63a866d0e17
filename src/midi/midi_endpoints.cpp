#include "midi/midi_endpoints.h"

namespace tessaryn {

std::int32_t stableEndpointID(std::string_view client, std::string_view port, int occurrence) {
    // FNV-1a over the names, a separator and the occurrence index.
    std::uint32_t h = 2166136261u;
    auto mix = [&h](std::string_view s) {
        for (unsigned char c : s) h = (h ^ c) * 16777619u;
        h = (h ^ 0xFFu) * 16777619u;
    };
    mix(client);
    mix(port);
    mix(std::to_string(occurrence));
    if (h == 0) h = 1;
    return static_cast<std::int32_t>(h);
}

MIDIEndpoints::MIDIEndpoints(const std::string& name, const MIDIService::Factory& factory,
                             PostToMain postToMain) {
    std::weak_ptr<Shared> weak = shared_;
    MIDIService::Handlers handlers;
    handlers.received = [weak](std::span<const MIDIService::Event> events, bool lostBefore) {
        if (events.empty() && !lostBefore) return;
        auto shared = weak.lock();
        if (!shared) return;
        std::shared_ptr<const MIDIInHandler> handler;
        {
            std::lock_guard lock(shared->lock);
            handler = shared->onMIDIIn;
        }
        if (handler) (*handler)(events, lostBefore);
    };
    handlers.setupChanged = [weak, post = std::move(postToMain)] {
        auto shared = weak.lock();
        if (!shared || shared->rescanPosted.exchange(true)) return;
        post([weak] {
            auto shared = weak.lock();
            if (!shared) return;
            // Cleared before the rescan: an announcement during it posts another.
            shared->rescanPosted.store(false);
            std::shared_ptr<const std::function<void()>> handler;
            {
                std::lock_guard lock(shared->lock);
                handler = shared->onPortsChanged;
            }
            if (handler) (*handler)();
        });
    };
    service_ = factory(name, std::move(handlers));
    ownSourceID_ = service_->ownSourceID();
    ownDestID_ = service_->ownDestinationID();
}

MIDIEndpoints::~MIDIEndpoints() {
    if (connectedIn_ != 0) service_->disconnectSource();
    service_.reset();  // ends the service's threads before the handlers go
}

void MIDIEndpoints::setOnMIDIIn(MIDIInHandler handler) {
    auto h = handler ? std::make_shared<const decltype(handler)>(std::move(handler)) : nullptr;
    std::lock_guard lock(shared_->lock);
    shared_->onMIDIIn = std::move(h);
}

void MIDIEndpoints::setOnPortsChanged(std::function<void()> handler) {
    auto h = handler ? std::make_shared<const decltype(handler)>(std::move(handler)) : nullptr;
    std::lock_guard lock(shared_->lock);
    shared_->onPortsChanged = std::move(h);
}

std::pair<std::vector<MIDIPortChoice>, std::vector<MIDIPortChoice>>
MIDIEndpoints::availablePorts() {
    auto choices = [this](const std::vector<MIDIService::Endpoint>& endpoints) {
        std::vector<MIDIPortChoice> out;
        for (const auto& e : endpoints) {
            if (e.id == 0 || e.id == ownSourceID_ || e.id == ownDestID_) continue;
            out.push_back({e.id, e.name.empty() ? "MIDI" : e.name});
        }
        return out;
    };
    return {choices(service_->sources()), choices(service_->destinations())};
}

void MIDIEndpoints::listen(std::int32_t uniqueID) {
    // Every change of settings listens again: a source already linked stays as it is (undoing
    // and redoing it would take JACK's port away and make it anew each time).
    if (uniqueID != 0 && uniqueID == connectedIn_) return;
    // Also when nothing is connected: the service may still be waiting for the last choice.
    service_->disconnectSource();
    connectedIn_ = 0;
    if (uniqueID == 0) return;
    if (service_->connectSource(uniqueID)) connectedIn_ = uniqueID;
}

void sendToMIDI(MIDIEndpoints& midi, std::span<const std::uint8_t> message,
                std::int32_t hardwareOutID) {
    if (message.empty()) return;
    midi.service().publish(message);
    if (hardwareOutID != 0) midi.service().sendTo(hardwareOutID, message);
}

void sendAllToMIDI(MIDIEndpoints& midi, std::span<const MIDIMessage> messages,
                   std::int32_t hardwareOutID) {
    if (!messages.empty()) midi.service().publishAll(messages, hardwareOutID);
}

void MIDIService::publishAll(std::span<const MIDIMessage> messages, std::int32_t hardwareOutID) {
    for (const auto& m : messages) {
        if (m.empty()) continue;
        publish(m);
        if (hardwareOutID != 0) sendTo(hardwareOutID, m);
    }
}

}  // namespace tessaryn
