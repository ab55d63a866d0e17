// The connection: starting, stopping, the loss of the device and reconnecting (main thread but
// for the first half of a loss, on the serial queue).
#include <sys/stat.h>

#include <filesystem>

#include "bridge/bridge.h"

namespace tessaryn {

namespace {

// Both paths lead to one file (std::filesystem::equivalent refuses device nodes).
bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa = {};
    struct stat sb = {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string deviceName(std::string path) {
    for (std::size_t at; (at = path.find("/dev/")) != std::string::npos;) path.erase(at, 5);
    return path;
}

}  // namespace

void Bridge::startFromSaved() {
    prefs_->reload();  // another process (tessaryn --set) may have chosen the port meanwhile
    const std::string port = prefs_->text("port").value_or("");
    if (port.empty()) {
        setState(BridgeState::failed, "Choose a serial port in the window.");
        return;
    }
    start(port, storedLineSettings(*prefs_));
    linkFromSaved_ = true;
}

void Bridge::start(const std::string& port, const LineSettings& line) {
    reconnectItem_.cancel();
    awaitingFirstOpen_ = linkFromSaved_ = false;
    link_ = Link{port, line};
    linkDevice_ = {};
    open(port);
}

void Bridge::awaitDevice() {
    if (running_ || !link_ || !midi_) return;
    awaitingFirstOpen_ = true;
    userStopped_ = false;
    setState(BridgeState::waiting, status_);
    scheduleReconnect();
}

void Bridge::resetCounters() {
    parserGeneration_.fetch_add(1);
    readerLossesAtStart_ = midi_->service().losses().toReaders;
    readerLossesShown_ = false;
    setAndAnnounce(bytesIn_, 0, BridgeProperty::bytesIn);
    setAndAnnounce(bytesOut_, 0, BridgeProperty::bytesOut);
    setAndAnnounce(lastMapped_, std::string(kWaitingForHit), BridgeProperty::lastMapped);
}

// The common end of start and tryReconnect: fresh parsers and counters, then the device at
// `path`, with the settings of link_, which stays what the user chose whatever is opened.
void Bridge::open(const std::string& path) {
    if (!midi_) return;  // shut down: nothing may start again
    resetCounters();
    const LineSettings& line = link_->line;
    try {
        serial_->start(path, line.baud, line.dataBits, line.parity, line.twoStopBits,
                       line.hardwareFlow, holdDTR_);
    } catch (const SerialError& e) {
        setRunning(false);
        const bool retry = (reconnects_ || awaitingFirstOpen_) && !userStopped_;
        setState(retry ? BridgeState::waiting : BridgeState::failed, e.message);
        if (retry) scheduleReconnect();
        return;
    }
    userStopped_ = false;
    awaitingFirstOpen_ = false;
    watch_.reset();
    retryDelay_ = kFirstRetry;
    // The board the user chose is learned once, from its own path; another board opened in its
    // place never becomes it.
    if (linkDevice_.identity.empty() && path == link_->path) {
        for (auto& d : listPorts_()) {
            if (sameFile(d.path, path)) linkDevice_ = std::move(d);
        }
    }
    setRunning(true);
    setState(BridgeState::bridging,
             "Bridging " + deviceName(path) + " @ " + std::to_string(line.baud));
}

void Bridge::stop() {
    userStopped_ = true;
    awaitingFirstOpen_ = false;
    reconnectItem_.cancel();
    watch_.reset();
    serial_->stop();
    // Reading has stopped; the chunk in hand, if any, sends its notes before these note-offs.
    serial_->queue().sync([this] { endHeldNotes(); });
    setRunning(false);
    setState(BridgeState::stopped, "Stopped");
}

void Bridge::deviceClosed(const std::string& message) {
    endHeldNotes();  // on the serial queue, at once
    main_.post([weak = weak_from_this(), message] {
        auto self = weak.lock();
        if (!self) return;
        self->setRunning(false);
        if (self->reconnects_ && !self->userStopped_) {
            self->scheduleReconnect();  // watching before anyone is told the board is gone
            self->setState(BridgeState::waiting, "Device unplugged. Waiting for it to return.");
        } else {
            self->setState(BridgeState::failed, message);
        }
    });
}

void Bridge::scheduleReconnect() {
    if (!watch_ && link_) {
        // The folder of the saved path (a by-id link lives in dev/serial/by-id), and where a
        // replugged board may appear under another name.
        std::vector<std::filesystem::path> dirs{std::filesystem::path(link_->path).parent_path(),
                                                "/dev", "/dev/serial/by-id"};
        auto attempt = [&main = main_, weak = weak_from_this()] {
            main.post([weak] {
                if (auto self = weak.lock()) {
                    // A node that just appeared may not open for a moment: retry soon.
                    self->retryDelay_ = kFirstRetry;
                    self->tryReconnect();
                }
            });
        };
        watch_ = std::make_unique<DeviceNodeWatch>(serial_->queue(), std::move(dirs), attempt);
    }
    reconnectItem_.cancel();
    // A board that is gone comes back as a new node, which the watch reports, so waiting for
    // it makes no wake-ups. The timed attempt serves a node that is there but cannot be opened
    // yet (not ready, busy, no permission), sooner right after it appeared, and a system that
    // refused the watch.
    std::error_code ec;
    if (watch_ && watch_->watching() && link_ && !std::filesystem::exists(link_->path, ec) &&
        retryDelay_ >= kLastRetry)
        return;
    reconnectItem_ = main_.postAfter(retryDelay_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->tryReconnect();
    });
    retryDelay_ = std::min(retryDelay_ * 2, kLastRetry);
}

void Bridge::tryReconnect() {
    if (running_) return;
    if ((!reconnects_ && !awaitingFirstOpen_) || userStopped_ || !link_) {
        watch_.reset();
        return;
    }
    // The board the user chose, by its identity once known, under whatever node it now has (a
    // different board at its old path is never opened); before that, its path; else the only
    // USB adapter present, never a built-in UART the user did not choose.
    std::optional<std::string> path;
    std::error_code ec;
    if (linkDevice_.identity.empty() && std::filesystem::exists(link_->path, ec)) {
        path = link_->path;
    } else {
        path = replacementDevice(linkDevice_.identity, listPorts_());
    }
    if (!path) {
        retryDelay_ = kLastRetry;  // nothing to retry: the next node to appear is the news
        scheduleReconnect();
        return;
    }
    reconnectItem_.cancel();
    open(*path);
}

void Bridge::endHeldNotes() {
    std::vector<MIDIMessage> offs;
    std::int32_t outID;
    {
        std::lock_guard lock(gate_);
        offs = path_.rewriter.releaseAll();
        outID = path_.traffic.hardwareOutID;
    }
    if (midi_ && !offs.empty()) midi_->service().publishAll(offs, outID);
}

}  // namespace tessaryn
