#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bridge/instance.h"
#include "bridge/main_queue.h"
#include "bridge/message_path.h"
#include "bridge/preferences.h"
#include "bridge/settings_table.h"
#include "midi/learned_route.h"
#include "midi/midi_endpoints.h"
#include "midi/midi_stream_parser.h"
#include "midi/monitor_text.h"
#include "midi/note_rewriter.h"
#include "serial/serial_discovery.h"
#include "serial/serial_port.h"

namespace tessaryn {

// What the connection is doing; the status text says it in words.
enum class BridgeState {
    stopped,     // by the user, or never started
    bridging,    // the device is open
    notReading,  // open, but the device has taken nothing for a while
    waiting,     // the device is gone or cannot be opened yet: trying again
    failed,      // could not open, and not trying again
};

// The published properties, for observers.
enum class BridgeProperty {
    state,
    running,
    status,
    bytesIn,
    bytesOut,
    lastMapped,
    monitor,
    activityLit,
    midiDestinations,
    midiSources,
    learning,
    pendingLearn,
    learnDestination,
    remapNotes,
    targetNote,
    forceDrumChannel,
    dropClock,
    dropSensing,
    blockEcho,
    paceSysex,
    holdDTR,
    reconnects,
    velocityCurve,
    hardwareOutID,
    hardwareInID,
    routes,
};

// The engine: owns the serial port and the MIDI endpoints, holds every setting and every
// observable state, and moves messages both ways.
//
// Threads: the main queue (creation, settings, start/stop, reconnects, every published change),
// the serial I/O queue (handleSerial, the first half of a device loss) and the MIDI receive
// thread (handleMIDIIn). `gate` guards path_ (the rewriter, the settings snapshot and the echo
// lists) only and is never held across a send, a write, a preferences access or a hand-off.
class Bridge : public std::enable_shared_from_this<Bridge> {
  public:
    static constexpr std::size_t kMonitorCap = 8;
    static constexpr const char* kWaitingForHit = "Waiting for a hit";
    static constexpr const char* kNotReading = "Device is not reading";

    // Lists the serial devices present, for reconnecting when the saved one is gone (by
    // default linuxDevices of /dev and /sys).
    using PortLister = std::function<std::vector<SerialDevice>()>;

    // Creates the bridge on the main thread, its MIDI client named `name`; throws
    // MIDIServiceError when the MIDI system cannot be opened. Opens no serial device.
    // `main` must outlive the bridge.
    static std::shared_ptr<Bridge> create(MainQueue& main, std::shared_ptr<Preferences> prefs,
                                          const MIDIService::Factory& midi,
                                          PortLister listPorts = {},
                                          const std::string& name = kDefaultInstanceName);
    ~Bridge();

    // Observers run on the main thread after each change of a published property.
    using Observer = std::function<void(BridgeProperty)>;
    int observe(Observer observer);
    void unobserve(int token);

    // Published properties.
    BridgeState state() const { return state_; }
    bool running() const { return running_; }
    const std::string& status() const { return status_; }
    std::int64_t bytesIn() const { return bytesIn_; }
    std::int64_t bytesOut() const { return bytesOut_; }
    const std::string& lastMapped() const { return lastMapped_; }
    const std::vector<MonitorLine>& monitor() const { return monitor_; }
    bool activityLit() const { return activityLit_; }
    const std::vector<MIDIPortChoice>& midiDestinations() const { return midiDestinations_; }
    const std::vector<MIDIPortChoice>& midiSources() const { return midiSources_; }
    bool learning() const { return learning_; }
    const std::optional<PendingLearn>& pendingLearn() const { return pendingLearn_; }
    std::int64_t learnDestination() const { return learnDestination_; }
    bool remapNotes() const { return remapNotes_; }
    std::int64_t targetNote() const { return targetNote_; }
    bool forceDrumChannel() const { return forceDrumChannel_; }
    bool dropClock() const { return dropClock_; }
    bool dropSensing() const { return dropSensing_; }
    bool blockEcho() const { return blockEcho_; }
    bool paceSysex() const { return paceSysex_; }
    bool holdDTR() const { return holdDTR_; }
    bool reconnects() const { return reconnects_; }
    double velocityCurve() const { return velocityCurve_; }
    std::int64_t hardwareOutID() const { return hardwareOutID_; }
    std::int64_t hardwareInID() const { return hardwareInID_; }
    const std::vector<LearnedRoute>& routes() const { return routes_; }
    // What keeps the MIDI system from working now (shown as the status), or empty.
    const std::string& midiTrouble() const { return midiTrouble_; }

    // Settings: each stores the value and applies it at once.
    void setRemapNotes(bool v);
    void setTargetNote(std::int64_t v);
    void setForceDrumChannel(bool v);
    void setDropClock(bool v);
    void setDropSensing(bool v);
    void setBlockEcho(bool v);
    void setPaceSysex(bool v);
    void setHoldDTR(bool v);
    void setReconnects(bool v);
    void setVelocityCurve(double v);
    void setHardwareOutID(std::int64_t v);
    void setHardwareInID(std::int64_t v);
    void setRoutes(std::vector<LearnedRoute> v);
    void setLearning(bool v);
    void setPendingLearn(std::optional<PendingLearn> v);
    void setLearnDestination(std::int64_t v);
    void setMidiSources(std::vector<MIDIPortChoice> v);
    void setMidiDestinations(std::vector<MIDIPortChoice> v);
    // The window reports what the desktop refused (open at login) here.
    void setStatus(std::string v);

    // Connections.
    void startFromSaved();
    void start(const std::string& port, const LineSettings& line);
    // After a start that could not open its device (headless --wait): wait for it as for a
    // replug, whatever `reconnects` says; a start from the saved settings also starts again
    // when another process saves others.
    void awaitDevice();
    void stop();
    // The end of the program, on the main thread, before the last reference goes (the
    // destructor does it too): stops the connection, releasing held notes once, and ends the
    // MIDI receive thread, so nothing runs on another thread or posts to the main queue
    // afterwards. Settings still work but no longer reach MIDI.
    void shutdown();

    // Learning.
    void addLearned();
    void removeRoute(const LearnedRoute& route);

    // Whether anyone shows the monitor (main thread), and how many of a chunk's newest lines
    // they see (a log wants every one). While nobody does, the message paths make no monitor
    // lines at all and the list keeps its last lines. On at creation.
    void setMonitorShown(bool shown, std::size_t linesPerChunk = kMonitorCap);
    // The lines the last change of `monitor` added, all of them: the list keeps only the newest.
    const std::vector<std::string>& monitorAdded() const { return monitorAdded_; }

    // Lists the hardware MIDI endpoints again into midiSources and midiDestinations.
    void refreshMIDIPorts();

    MIDIEndpoints& midi() { return *midi_; }
    Preferences& preferences() { return *prefs_; }

  private:
    struct Link {
        std::string path;
        LineSettings line;
    };
    Bridge(MainQueue& main, std::shared_ptr<Preferences> prefs, PortLister listPorts);
    void initialise(const MIDIService::Factory& midi, const std::string& name);

    void announce(BridgeProperty p);
    // Every change of a published property goes through here: store, then tell the observers.
    template <typename T, typename V>
    void setAndAnnounce(T& field, V&& value, BridgeProperty p) {
        field = std::forward<V>(value);
        announce(p);
    }
    bool takeUpSettings();
    void persistAndApply();
    void persistRoutes();
    void open(const std::string& path);
    void deviceClosed(const std::string& message);
    void scheduleReconnect();
    void tryReconnect();
    void endHeldNotes();
    void resetCounters();
    void handleSerial(std::span<const std::uint8_t> bytes);
    void handleMIDIIn(std::span<const MIDIService::Event> events, bool lostBefore);
    void deviceStalled(bool stalled);
    // What the serial and MIDI threads have to show, gathered until the main thread takes it.
    // Its lines are made there too, off the message path.
    struct Shown {
        std::int64_t bytesIn = 0;
        std::int64_t bytesOut = 0;
        bool forwarded = false;
        // The last note from the device as it came and as it went.
        std::optional<std::pair<MIDIMessage, MIDIMessage>> hit;
        bool remapOn = false;
    };
    struct Gathered {
        Shown shown;
        // What the monitor shows, oldest first, each with whether it came from the device.
        std::vector<std::pair<MIDIMessage, bool>> monitored;
        std::uint64_t unshown = 0;  // lines dropped for want of room, oldest first
    };
    // The most lines that wait for the main thread: a log shows every line, but a burst's wait
    // for a slow main thread must not grow without end.
    static constexpr std::size_t kMostGathered = 4096;
    // A backlog is shown this many lines per main-thread task, so that what is posted meanwhile
    // (a stop above all) waits for one piece rather than for all of it.
    static constexpr std::size_t kShownAtOnce = 256;
    // Any thread: the main thread takes what was gathered at most every kShowEvery, so a
    // message costs the main thread no wake-up of its own. The last of `messages` that anyone
    // sees become monitor lines.
    void showLater(const Shown& shown, std::span<const MIDIMessage> messages, bool fromPad);
    void showGathered();
    // The activity light: lit by traffic, dark kLitFor after the last; one timer at a time.
    void pulse();
    void dimWhenIdle();
    // One change of the list for a chunk's lines.
    void appendMonitor(const std::vector<std::string>& texts);
    void noticeReaderLosses();
    void noticeMIDITrouble();
    void setRunning(bool v);
    // The state first, then its words: an observer of either sees both.
    void setState(BridgeState state, std::string status);

    MainQueue& main_;
    std::shared_ptr<Preferences> prefs_;
    PortLister listPorts_;
    std::map<int, Observer> observers_;
    int nextObserver_ = 1;

    // Published (main thread only).
    BridgeState state_ = BridgeState::stopped;
    bool running_ = false;
    std::string status_ = "Stopped";
    std::int64_t bytesIn_ = 0;
    std::int64_t bytesOut_ = 0;
    std::string lastMapped_ = kWaitingForHit;
    std::vector<MonitorLine> monitor_;
    std::uint64_t lastMonitorLine_ = 0;  // the id of the newest line
    bool activityLit_ = false;
    std::vector<MIDIPortChoice> midiDestinations_;
    std::vector<MIDIPortChoice> midiSources_;
    bool learning_ = false;
    std::optional<PendingLearn> pendingLearn_;
    std::int64_t learnDestination_ = 38;
    bool remapNotes_ = true;
    std::int64_t targetNote_ = 38;
    bool forceDrumChannel_ = false;
    bool dropClock_ = true;
    bool dropSensing_ = true;
    bool blockEcho_ = true;
    bool paceSysex_ = true;
    bool holdDTR_ = false;
    bool reconnects_ = true;
    double velocityCurve_ = 1.0;
    std::int64_t hardwareOutID_ = 0;
    std::int64_t hardwareInID_ = 0;
    std::vector<LearnedRoute> routes_;

    // The serial queue reads `learning` through this copy.
    std::atomic<bool> learningForSerial_{false};
    std::atomic<bool> monitorShown_{true};
    std::atomic<std::size_t> monitorLines_{kMonitorCap};
    std::vector<std::string> monitorAdded_;
    static constexpr std::chrono::milliseconds kShowEvery{20};
    std::mutex shownLock_;
    Gathered gathered_;        // guarded by shownLock_
    bool showPosted_ = false;  // guarded by shownLock_
    Gathered gatherRoom_;      // main thread: what the last gathering had, its room reused
    // Messages a MIDI reader could not take, as counted at the last start (main thread only):
    // the monitor says so once per start, not once per message.
    std::uint64_t readerLossesAtStart_ = 0;
    bool readerLossesShown_ = false;

    // Each parser is fed by one thread. A start asks for fresh parsers by bumping the
    // generation; the feeding thread replaces its parser before its next feed, so a reset never
    // overlaps a feed in progress.
    std::atomic<std::uint64_t> parserGeneration_{0};
    MIDIStreamParser parser_;             // serial queue
    std::uint64_t parserSeen_ = 0;        // serial queue
    EventParser midiInParser_;            // MIDI receive thread
    std::uint64_t midiInParserSeen_ = 0;  // MIDI receive thread
    // A chunk's messages on their way, kept from one chunk to the next so that a message
    // reuses the room of those before it.
    std::vector<MIDIMessage> deviceMessages_;        // serial queue
    std::vector<MessagePath::Forwarded> forwarded_;  // serial queue
    std::vector<MIDIMessage> sent_;                  // serial queue
    std::vector<MIDIMessage> midiMessages_;          // MIDI receive thread
    std::vector<SerialPort::Message> toDevice_;      // MIDI receive thread

    std::mutex gate_;
    MessagePath path_;  // guarded by gate_

    // Main thread.
    std::optional<Link> link_;  // what the user chose; reconnecting never changes it
    // The board at link_'s path when it was first opened, as discovery listed it: its identity.
    SerialDevice linkDevice_;
    static constexpr std::chrono::milliseconds kFirstRetry{50}, kLastRetry{1000};
    std::chrono::milliseconds retryDelay_ = kLastRetry;
    bool userStopped_ = true;
    bool awaitingFirstOpen_ = false;  // awaitDevice, until an open succeeds
    bool linkFromSaved_ = false;      // link_ came from the saved settings
    DelayedTask reconnectItem_;
    static constexpr std::chrono::milliseconds kLitFor{120};
    std::chrono::steady_clock::time_point lastActivity_;
    std::string statusBeforeStall_;
    std::string midiTrouble_;
    BridgeState stateBeforeTrouble_ = BridgeState::stopped;
    std::string statusBeforeTrouble_;

    std::shared_ptr<SerialPort> serial_;
    std::unique_ptr<MIDIEndpoints> midi_;
    // While waiting for the device: an attempt as soon as a device node appears.
    std::unique_ptr<DeviceNodeWatch> watch_;
    std::unique_ptr<DeviceNodeWatch> settingsWatch_;  // the preferences file's folder
};

}  // namespace tessaryn
