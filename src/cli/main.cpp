// The tessaryn executable. The desktop window lives in the Qt program; this entry point serves
// the command line: headless bridging, listings and settings.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "app/desktop.h"
#include "bridge/bridge.h"
#include "bridge/instance.h"
#include "bridge/preferences.h"
#include "bridge/run_loop.h"
#include "cli/journal.h"
#include "cli/line_writer.h"
#include "cli/options.h"
#include "cli/printer.h"
#include "cli/settings_keys.h"
#include "cli/version.h"
#include "serial/device_access.h"
#include "serial/serial_discovery.h"
#include "serial/serial_port.h"
#if TESSARYN_HAVE_ALSA
#include "midi/alsa/alsa_midi.h"
#endif
#include "midi/jack/jack_loader.h"
#include "midi/module_loader.h"
#if TESSARYN_HAVE_QT
#include <dlfcn.h>
#endif

using namespace tessaryn;

namespace {

struct Options {
    bool headless = false, wait = false, quiet = false, settings = false, listPorts = false,
         listMidi = false, minimized = false, help = false, version = false;
    std::optional<std::string> port;
    std::optional<std::int64_t> baud, dataBits;
    std::optional<Parity> parity;
    std::optional<bool> twoStop, hwFlow;
    std::optional<std::string> midi;
    std::string name = kDefaultInstanceName;
    bool nameGiven = false;
    std::string configDir;
    std::string devDir = "/dev";
    std::vector<std::pair<const Setting*, SettingValue>> sets;
};

using Level = Journal::Level;

int usage(const std::string& problem) {
    Journal::fromEnvironment().say(Level::error, problem + " (try --help)");
    return 2;
}

// Takes a flag's value into `into`, checked as --set checks the setting it overrides; false
// with the problem when it is refused.
template <typename T>
bool takeFlag(const char* flag, const char* key, const char* text, std::optional<T>& into,
              std::string& problem) {
    auto parsed = parseSetting(*findSetting(key), text);
    if (!parsed.value) problem = std::string(flag) + " " + parsed.problem;
    if (parsed.value) into = std::get<T>(*parsed.value);
    return parsed.value.has_value();
}

// Returns an exit code when the arguments end the run, else none.
std::optional<int> parse(int argc, char** argv, Options& o) {
    std::vector<option> longOptions;
    for (const auto& c : commandOptions())
        longOptions.push_back(
            {c.name, c.argument ? required_argument : no_argument, nullptr, c.code});
    longOptions.push_back({nullptr, 0, nullptr, 0});
    std::string shortOptions;
    for (const auto& c : commandOptions()) {
        if (c.letter) shortOptions += c.letter;
    }
    opterr = 0;
    std::string problem;
    for (int c;
         (c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1;) {
        switch (c) {
            case 'H':
                o.headless = true;
                break;
            case 'w':
                o.wait = true;
                break;
            case kMinimized:
                o.minimized = true;
                break;
            case 'q':
                o.quiet = true;
                break;
            case 'S':
                o.settings = true;
                break;
            case 'l':
                o.listPorts = true;
                break;
            case 'm':
                o.listMidi = true;
                break;
            case 'h':
                o.help = true;
                break;
            case 'V':
                o.version = true;
                break;
            case kPort:
                o.port = optarg;
                break;
            case kBaud:
                if (!takeFlag("--baud", "baud", optarg, o.baud, problem)) return usage(problem);
                break;
            case kDataBits:
                if (!takeFlag("--data-bits", "dataBits", optarg, o.dataBits, problem))
                    return usage(problem);
                break;
            case kParity: {
                std::optional<std::string> raw;
                if (!takeFlag("--parity", "parity", optarg, raw, problem)) return usage(problem);
                o.parity = parityFromRaw(*raw);
                break;
            }
            case kTwoStop:
            case kNoTwoStop:
                o.twoStop = c == kTwoStop;
                break;
            case kHwFlow:
            case kNoHwFlow:
                o.hwFlow = c == kHwFlow;
                break;
            case kMidi:
                if (!takeFlag("--midi", "midi", optarg, o.midi, problem)) return usage(problem);
                break;
            case kName: {
                std::optional<std::string> name;
                if (!takeFlag("--name", "name", optarg, name, problem)) return usage(problem);
                o.name = *name;
                o.nameGiven = true;
                break;
            }
            case kConfigDir:
                o.configDir = optarg;
                break;
            case kDevDir:
                o.devDir = optarg;
                break;
            case kSet: {
                const std::string arg = optarg;
                const auto eq = arg.find('=');
                if (eq == std::string::npos) return usage("--set takes KEY=VALUE");
                const Setting* key = findSetting(arg.substr(0, eq));
                if (!key) return usage("unknown setting " + arg.substr(0, eq));
                auto parsed = parseSetting(*key, std::string_view(arg).substr(eq + 1));
                if (!parsed.value) return usage(std::string(key->name) + " " + parsed.problem);
                o.sets.emplace_back(key, std::move(*parsed.value));
                break;
            }
            default:
                return usage(std::string("unknown or incomplete option ") + argv[optind - 1]);
        }
    }
    if (optind < argc) return usage(std::string("unexpected argument ") + argv[optind]);
    // --help and --version end the run at once: a --set beside them would be lost.
    if ((o.help || o.version) && !o.sets.empty())
        return usage(std::string("--set does not go with --") + (o.help ? "help" : "version"));
    if (o.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("tessaryn %s\n", TESSARYN_VERSION);
        return 0;
    }
    const bool lineOverride =
        o.port || o.baud || o.dataBits || o.parity || o.twoStop || o.hwFlow || o.wait;
    if (lineOverride && !o.headless) return usage("--port and the line options go with --headless");
    if (o.minimized && o.headless) return usage("--minimized is for the desktop program");
    return std::nullopt;
}

std::optional<MIDIService::Factory> midiFactory(const std::string& name, const Journal& log) {
#if TESSARYN_HAVE_ALSA
    if (name == "alsa") return alsaMIDIFactory();
#endif
    if (name == "jack") {
        // The backend reports losses from a thread of its own; the journal is a copied value.
        auto jack = loadJackMIDI([log](const std::string& text) { log.say(Level::warning, text); });
        if (auto* factory = std::get_if<MIDIService::Factory>(&jack)) return std::move(*factory);
        log.say(Level::error, std::get<std::string>(jack));
        return std::nullopt;
    }
    log.say(Level::error, "the " + name + " MIDI backend is not part of this build");
    return std::nullopt;
}

// The MIDI system chosen for this run: --midi, else the saved setting, else ALSA.
std::string midiSystem(const Options& o, const Preferences& prefs) {
    if (o.midi) return *o.midi;
    const auto saved = prefs.text("midi");
    return saved == "jack" ? "jack" : "alsa";
}

int listMidi(const Options& o, const Preferences& prefs, const Journal& log) {
    auto factory = midiFactory(midiSystem(o, prefs), log);
    if (!factory) return 1;
    try {
        // A client name of its own: JACK refuses a second client named like a running
        // instance. Instances, this one included, are never listed as hardware.
        MIDIEndpoints midi(o.name + " List", *factory, [](std::function<void()>) {});
        const auto [sources, destinations] = midi.availablePorts();
        std::printf("Sources (--set hardwareInID=ID):\n");
        for (const auto& c : sources) std::printf("  %d\t%s\n", c.id, c.name.c_str());
        std::printf("Destinations (--set hardwareOutID=ID):\n");
        for (const auto& c : destinations) std::printf("  %d\t%s\n", c.id, c.name.c_str());
    } catch (const MIDIServiceError& e) {
        log.say(Level::error, e.what());
        return 1;
    }
    return 0;
}

int runHeadless(const Options& o, std::shared_ptr<Preferences> prefs, const Journal& log) {
    auto factory = midiFactory(midiSystem(o, *prefs), log);
    if (!factory) return 1;
    const InstanceLock lock(o.name, InstanceLock::Kind::headless);
    if (!lock.held()) {
        log.say(Level::error, lock.problem());
        return 1;
    }

    // SIGINT and SIGTERM are taken by a thread of their own; every other thread inherits the
    // blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);  // wakes the signal thread when the run has ended
    sigset_t blocked = stopSignals;
    sigaddset(&blocked, SIGPIPE);  // a log reader that leaves must not end the bridge
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    // After the mask, which its thread inherits. Lines wait for a slow reader up to this much.
    LineWriter out(STDOUT_FILENO, 256 * 1024);

    RunLoop main;
    std::shared_ptr<Bridge> bridge;
    try {
        bridge = Bridge::create(main, prefs, *factory, {}, o.name);
    } catch (const MIDIServiceError& e) {
        log.say(Level::error, e.what());
        return 1;
    }
    Printer printer(*bridge, o.quiet, o.wait, log, out);
    bridge->observe(std::ref(printer));
    // Nobody sees the lines: make none; otherwise the log shows every one.
    bridge->setMonitorShown(!o.quiet, std::numeric_limits<std::size_t>::max());

    // The bridge's own hint for a missing port speaks of the window; this one of the flags.
    const std::string noPort = "no serial port saved; give --port PATH or --set port=PATH";
    if (!o.port && prefs->text("port").value_or("").empty()) {
        log.say(Level::error, noPort);
        return 1;
    }
    // Said once, when the board is first bridged: ModemManager probes new CDC-ACM devices.
    bridge->observe([&, checked = false](BridgeProperty p) mutable {
        if (p != BridgeProperty::state || bridge->state() != BridgeState::bridging || checked)
            return;
        checked = true;
        const std::string device = o.port.value_or(prefs->text("port").value_or(""));
        if (auto board = cdcAcmBoard(device, "/sys"); board && modemManagerRunning("/proc"))
            log.say(Level::warning, modemManagerNote(device, *board));
    });
    if (o.port) {
        LineSettings line = storedLineSettings(*prefs);
        line.baud = o.baud.value_or(line.baud);
        line.dataBits = o.dataBits.value_or(line.dataBits);
        line.parity = o.parity.value_or(line.parity);
        line.twoStopBits = o.twoStop.value_or(line.twoStopBits);
        line.hardwareFlow = o.hwFlow.value_or(line.hardwareFlow);
        bridge->start(*o.port, line);
    } else {
        bridge->startFromSaved();
    }
    if (!bridge->running()) {
        if (!o.wait) return 1;  // the printer has said why
        bridge->awaitDevice();  // woken by the device's node, not by a timer
    }

    // The ports exist and the board is bridged or awaited: units ordered after ours may start.
    const char* notifySocket = std::getenv("NOTIFY_SOCKET");
    if (!notifyServiceManager(notifySocket, "READY=1"))
        log.say(Level::warning, "cannot tell systemd that the bridge is ready: " +
                                    std::string(std::strerror(errno)));
    // Without reconnecting, a MIDI server that stops ends the run as a failure, so that a service
    // manager (Restart=on-failure) starts it again.
    int code = 0;
    bridge->observe([&](BridgeProperty p) {
        if (p != BridgeProperty::status || bridge->midiTrouble().empty() || bridge->reconnects() ||
            code != 0)
            return;
        log.say(Level::error, "the MIDI server stopped, and reconnecting is off");
        code = 1;
        main.post([&] {
            bridge->shutdown();
            main.quit();
        });
    });

    std::atomic<bool> ended{false};
    std::thread signals([&] {
        int signal = 0;
        do {
            sigwait(&stopSignals, &signal);
            if (ended) return;  // the run ended by itself: nothing to stop
        } while (signal == SIGUSR1);
        notifyServiceManager(notifySocket, "STOPPING=1");
        main.post([&] {
            bridge->shutdown();  // releases held notes; no thread of the bridge runs after it
            main.quit();
        });
    });
    main.run();
    ended = true;
    pthread_kill(signals.native_handle(), SIGUSR1);
    signals.join();
    return code;
}

#if TESSARYN_HAVE_QT
// Loads the window module only now, so headless runs never map the GUI libraries.
int loadDesktop(int argc, char** argv, const DesktopOptions& options, const Journal& log) {
    std::string tried;
    if (void* module = openModule("tessaryn-desktop.so", tried)) {
        using Entry = int (*)(int, char**, const DesktopOptions*);
        auto entry = reinterpret_cast<Entry>(::dlsym(module, "tessaryn_run_desktop"));
        if (!entry) return log.say(Level::error, "the window module has no entry point"), 1;
        return entry(argc, argv, &options);
    }
    log.say(Level::error,
            "cannot load the desktop window (install the package tessaryn-desktop, or use "
            "--headless):" +
                tried);
    return 1;
}
#endif

int showSettings(const Preferences& prefs) {
    for (const auto& key : settingKeys()) {
        if (const auto value = showSetting(prefs, key)) {
            std::printf("%s = %s (default: %s)\n", key.name, value->c_str(), key.defaultText);
        } else {
            std::printf("%s = %s (default, not set)\n", key.name, key.defaultText);
        }
    }
    return 0;
}

int listPorts(const Options& o) {
    for (const auto& p : linuxPorts(o.devDir, "/sys")) std::printf("%s\n", p.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (auto code = parse(argc, argv, o)) return *code;
    const Journal log = Journal::fromEnvironment();
    // Listing the devices needs no settings folder, unless settings are to be stored first.
    if (o.listPorts && o.sets.empty()) return listPorts(o);

    const std::filesystem::path configDir =
        o.configDir.empty() ? instanceConfigDir(o.name) : std::filesystem::path(o.configDir);
    auto prefs = std::make_shared<Preferences>(configDir);
    if (!o.sets.empty()) {
        Preferences::Batch batch(*prefs);
        for (const auto& [key, value] : o.sets) storeSetting(*prefs, *key, value);
    }
    const std::string& saveProblem = prefs->saveProblem();
    if (!prefs->loadProblem().empty() && prefs->loadProblem() != saveProblem)
        log.say(Level::warning, prefs->loadProblem());
    if (!saveProblem.empty()) {
        log.say(Level::error, saveProblem);
        return 1;
    }
    // The name chosen in the window's settings (or just stored), kept in this folder: the
    // instance whose preferences these are runs under it from its next start on.
    if (const auto saved = prefs->text("name");
        !o.nameGiven && saved && !instanceNameProblem(*saved))
        o.name = *saved;
    if (o.listPorts) return listPorts(o);
    if (o.listMidi) return listMidi(o, *prefs, log);
    if (o.settings) return showSettings(*prefs);
    if (o.headless) return runHeadless(o, prefs, log);
    if (!o.sets.empty()) return 0;
#if TESSARYN_HAVE_QT
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM")) {
        log.say(Level::error, "no graphical display here; run with --headless (see --help)");
        return 1;
    }
    const std::string midi = midiSystem(o, *prefs);
    prefs.reset();  // the window opens the same folder itself
    DesktopOptions desktop;
    desktop.configDir = configDir;
    desktop.midi = midi;
    desktop.instanceName = o.name;
    desktop.launchName = o.nameGiven ? o.name : kDefaultInstanceName;
    desktop.minimized = o.minimized;
    return loadDesktop(argc, argv, desktop, log);
#else
    log.say(Level::error, "this build has no desktop window; run with --headless (see --help)");
    return 2;
#endif
}
