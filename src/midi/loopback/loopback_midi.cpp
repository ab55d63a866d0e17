#include "midi/loopback/loopback_midi.h"

namespace tessaryn {

struct LoopbackHub::Service final : MIDIService {
    std::shared_ptr<LoopbackHub> hub;
    Handlers handlers;
    std::string name;

    // Like a real service ending its receive thread: a packet being delivered to these handlers
    // is finished before they go.
    ~Service() override {
        std::unique_lock lock(hub->m_);
        hub->service_ = nullptr;
        hub->connected_ = 0;
        if (std::this_thread::get_id() != hub->thread_.get_id())
            hub->cv_.wait(lock, [this] { return !hub->busy_; });
    }
    std::int32_t ownSourceID() const override { return stableEndpointID(name, name + " Out", 0); }
    std::int32_t ownDestinationID() const override {
        return stableEndpointID(name, name + " In", 0);
    }
    std::vector<Endpoint> list(bool sources) {
        std::lock_guard lock(hub->m_);
        std::vector<Endpoint> out;
        for (const auto& [id, e] : hub->endpoints_) {
            if (e.second == sources) out.push_back({id, e.first});
        }
        return out;
    }
    std::vector<Endpoint> sources() override { return list(true); }
    std::vector<Endpoint> destinations() override { return list(false); }
    void publish(std::span<const std::uint8_t> m) override {
        std::lock_guard lock(hub->m_);
        hub->published_.emplace_back(m.begin(), m.end());
        hub->cv_.notify_all();
    }
    bool sendTo(std::int32_t id, std::span<const std::uint8_t> m) override {
        std::lock_guard lock(hub->m_);
        auto it = hub->endpoints_.find(id);
        if (it == hub->endpoints_.end() || it->second.second) return false;
        hub->sent_[id].emplace_back(m.begin(), m.end());
        return true;
    }
    bool connectSource(std::int32_t id) override {
        std::lock_guard lock(hub->m_);
        auto it = hub->endpoints_.find(id);
        if (it == hub->endpoints_.end() || !it->second.second) return false;
        hub->connected_ = id;
        return true;
    }
    void disconnectSource() override {
        std::lock_guard lock(hub->m_);
        hub->connected_ = 0;
    }
};

LoopbackHub::LoopbackHub() {
    thread_ = std::thread([this] {
        std::unique_lock lock(m_);
        for (;;) {
            cv_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            busy_ = true;
            lock.unlock();
            task();
            lock.lock();
            busy_ = false;
            cv_.notify_all();
        }
    });
}

LoopbackHub::~LoopbackHub() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
        cv_.notify_all();
    }
    thread_.join();
}

MIDIService::Factory LoopbackHub::factory() {
    return [hub = shared_from_this()](const std::string& name, MIDIService::Handlers handlers) {
        auto s = std::make_unique<Service>();
        s->hub = hub;
        s->handlers = std::move(handlers);
        s->name = name;
        std::lock_guard lock(hub->m_);
        hub->service_ = s.get();
        return std::unique_ptr<MIDIService>(std::move(s));
    };
}

void LoopbackHub::post(std::function<void()> task) {
    std::lock_guard lock(m_);
    tasks_.push_back(std::move(task));
    cv_.notify_all();
}

// Runs on the hub's thread; the service is looked up there, so a service destroyed meanwhile
// gets nothing.
void LoopbackHub::notifySetup() {
    post([this] {
        std::function<void()> f;
        {
            std::lock_guard lock(m_);
            if (service_) f = service_->handlers.setupChanged;
        }
        if (f) f();
    });
}

std::int32_t LoopbackHub::add(const std::string& name, bool isSource) {
    std::int32_t id;
    {
        std::lock_guard lock(m_);
        id = nextID_++;
        endpoints_[id] = {name, isSource};
    }
    notifySetup();
    return id;
}

std::int32_t LoopbackHub::addSource(const std::string& name) {
    return add(name, true);
}
std::int32_t LoopbackHub::addDestination(const std::string& name) {
    return add(name, false);
}

void LoopbackHub::remove(std::int32_t id) {
    {
        std::lock_guard lock(m_);
        endpoints_.erase(id);
        if (connected_ == id) connected_ = 0;
    }
    notifySetup();
}

void LoopbackHub::sendToVirtualIn(Bytes packet, std::uint32_t sender) {
    deliver(0, sender, std::move(packet), false);
}

void LoopbackHub::sendFromSource(std::int32_t id, Bytes packet) {
    deliver(id, static_cast<std::uint32_t>(id), std::move(packet), false);
}

void LoopbackHub::loseInput() {
    deliver(0, 0, {}, true);
}

// On the hub's thread: from a hardware source `id` only while it is connected.
void LoopbackHub::deliver(std::int32_t id, std::uint32_t sender, Bytes packet, bool lost) {
    post([this, id, sender, packet = std::move(packet), lost] {
        decltype(Service::handlers.received) f;
        {
            std::lock_guard lock(m_);
            if (service_ && (id == 0 || connected_ == id)) f = service_->handlers.received;
        }
        const MIDIService::Event event{sender, packet};
        if (f && (lost || !packet.empty())) f(std::span(&event, packet.empty() ? 0 : 1), lost);
    });
}

std::vector<LoopbackHub::Bytes> LoopbackHub::published() {
    std::lock_guard lock(m_);
    return published_;
}

std::vector<LoopbackHub::Bytes> LoopbackHub::sentTo(std::int32_t id) {
    std::lock_guard lock(m_);
    return sent_[id];
}

std::int32_t LoopbackHub::connectedSource() {
    std::lock_guard lock(m_);
    return connected_;
}

void LoopbackHub::clear() {
    std::lock_guard lock(m_);
    published_.clear();
    sent_.clear();
}

bool LoopbackHub::waitForPublished(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return published_.size() >= count; });
}

void LoopbackHub::flush() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return tasks_.empty() && !busy_; });
}

}  // namespace tessaryn
