// The tessaryn executable. The desktop window lives in the Qt program; this entry point serves
// the command line: headless bridging, listings and settings.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/desktop.h"
#include "bridge/bridge.h"
#include "bridge/instance.h"
#include "bridge/preferences.h"
#include "bridge/run_loop.h"
#include "cli/options.h"
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
         listMidi = false, minimized = false;
    std::optional<std::string> port;
    std::optional<std::int64_t> baud, dataBits;
    std::optional<Parity> parity;
    std::optional<bool> twoStop, hwFlow;
    std::optional<std::string> midi;
    std::string name = kDefaultInstanceName;
    bool nameGiven = false;
    std::string configDir;
    std::string devDir = "/dev";
    std::vector<std::pair<const SettingKey*, std::string>> sets;
};

int usage(const std::string& problem) {
    std::fprintf(stderr, "tessaryn: %s (try --help)\n", problem.c_str());
    return 2;
}

std::optional<std::int64_t> number(const char* s) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 10);
    if (errno || end == s || *end) return std::nullopt;
    return v;
}

// Returns an exit code when the arguments end the run, else none.
std::optional<int> parse(int argc, char** argv, Options& o) {
    std::vector<option> longOptions;
    for (const auto& c : commandOptions())
        longOptions.push_back(
            {c.name, c.argument ? required_argument : no_argument, nullptr, c.code});
    longOptions.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", longOptions.data(), nullptr)) != -1;) {
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
                std::fputs(usageText().c_str(), stdout);
                return 0;
            case 'V':
                std::printf("tessaryn %s\n", TESSARYN_VERSION);
                return 0;
            case kPort:
                o.port = optarg;
                break;
            case kBaud:
                o.baud = number(optarg);
                if (!o.baud || *o.baud <= 0)
                    return usage(std::string("--baud takes a positive rate, not ") + optarg);
                break;
            case kDataBits:
                o.dataBits = number(optarg);
                if (!o.dataBits || *o.dataBits < 5 || *o.dataBits > 8)
                    return usage("--data-bits takes 5, 6, 7 or 8");
                break;
            case kParity: {
                const std::string p = optarg;
                if (p == "none")
                    o.parity = Parity::none;
                else if (p == "even")
                    o.parity = Parity::even;
                else if (p == "odd")
                    o.parity = Parity::odd;
                else
                    return usage("--parity takes none, even or odd");
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
                o.midi = optarg;
                if (o.midi != "alsa" && o.midi != "jack") return usage("--midi takes alsa or jack");
                break;
            case kName:
                o.name = optarg;
                o.nameGiven = true;
                if (auto problem = instanceNameProblem(o.name))
                    return usage("--name " + o.name + ": " + *problem);
                break;
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
                const SettingKey* key = findSettingKey(arg.substr(0, eq));
                if (!key) return usage("unknown setting " + arg.substr(0, eq));
                const std::string value = arg.substr(eq + 1);
                if (auto problem = checkSetting(*key, value)) return usage(*problem);
                o.sets.emplace_back(key, value);
                break;
            }
            default:
                return usage(std::string("unknown or incomplete option ") + argv[optind - 1]);
        }
    }
    if (optind < argc) return usage(std::string("unexpected argument ") + argv[optind]);
    const bool lineOverride =
        o.port || o.baud || o.dataBits || o.parity || o.twoStop || o.hwFlow || o.wait;
    if (lineOverride && !o.headless) return usage("--port and the line options go with --headless");
    if (o.minimized && o.headless) return usage("--minimized is for the desktop program");
    return std::nullopt;
}

std::optional<MIDIService::Factory> midiFactory(const std::string& name) {
#if TESSARYN_HAVE_ALSA
    if (name == "alsa") return alsaMIDIFactory();
#endif
    if (name == "jack") {
        auto jack = loadJackMIDI(
            [](const std::string& text) { std::fprintf(stderr, "tessaryn: %s\n", text.c_str()); });
        if (auto* factory = std::get_if<MIDIService::Factory>(&jack)) return std::move(*factory);
        std::fprintf(stderr, "tessaryn: %s\n", std::get<std::string>(jack).c_str());
        return std::nullopt;
    }
    std::fprintf(stderr, "tessaryn: the %s MIDI backend is not part of this build\n", name.c_str());
    return std::nullopt;
}

// The MIDI system chosen for this run: --midi, else the saved setting, else ALSA.
std::string midiSystem(const Options& o, const Preferences& prefs) {
    if (o.midi) return *o.midi;
    const auto saved = prefs.text("midi");
    return saved == "jack" ? "jack" : "alsa";
}

int listMidi(const Options& o, const Preferences& prefs) {
    auto factory = midiFactory(midiSystem(o, prefs));
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
        std::fprintf(stderr, "tessaryn: %s\n", e.what());
        return 1;
    }
    return 0;
}

// Prints what a person watching the window would see change.
class Printer {
  public:
    Printer(Bridge& b, bool quiet) : bridge_(b), quiet_(quiet) {}
    void operator()(BridgeProperty p) {
        switch (p) {
            case BridgeProperty::status:
                if (bridge_.status() != lastStatus_) {
                    lastStatus_ = bridge_.status();
                    line(lastStatus_);
                }
                break;
            case BridgeProperty::monitor: {
                if (quiet_) break;
                const auto& lines = bridge_.monitor();
                std::size_t from = 0;
                for (std::size_t i = lines.size(); i-- > 0;) {
                    if (lastLine_ && lines[i].id == *lastLine_) {
                        from = i + 1;
                        break;
                    }
                }
                for (std::size_t i = from; i < lines.size(); ++i) line(lines[i].text);
                if (!lines.empty()) lastLine_ = lines.back().id;
                break;
            }
            case BridgeProperty::lastMapped:
                if (!quiet_ && bridge_.lastMapped() != Bridge::kWaitingForHit)
                    line(bridge_.lastMapped());
                break;
            default:
                break;
        }
    }

  private:
    static void line(const std::string& text) {
        std::fputs(text.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    Bridge& bridge_;
    bool quiet_;
    std::string lastStatus_ = "Stopped";
    std::optional<Uuid> lastLine_;
};

int runHeadless(const Options& o, std::shared_ptr<Preferences> prefs) {
    auto factory = midiFactory(midiSystem(o, *prefs));
    if (!factory) return 1;
    const InstanceLock lock(o.name, InstanceLock::Kind::headless);
    if (!lock.held()) {
        std::fprintf(stderr, "tessaryn: %s\n", lock.problem().c_str());
        return 1;
    }

    // SIGINT and SIGTERM are taken by a thread of their own; every other thread inherits the
    // blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    RunLoop main;
    std::shared_ptr<Bridge> bridge;
    try {
        bridge = Bridge::create(main, prefs, *factory, {}, o.name);
    } catch (const MIDIServiceError& e) {
        std::fprintf(stderr, "tessaryn: %s\n", e.what());
        return 1;
    }
    Printer printer(*bridge, o.quiet);
    bridge->observe(std::ref(printer));
    bridge->setMonitorShown(!o.quiet);  // nobody sees the lines: make none

    // Said once, when the board is first seen: ModemManager probes new CDC-ACM devices.
    bool modemChecked = false;
    auto attempt = [&] {
        prefs->reload();  // `tessaryn --set` may have changed the settings since
        const std::string device = o.port.value_or(prefs->text("port").value_or(""));
        if (auto board = modemChecked ? std::nullopt : cdcAcmBoard(device, "/sys")) {
            modemChecked = true;
            if (modemManagerRunning("/proc"))
                std::fprintf(stderr, "tessaryn: %s\n", modemManagerNote(device, *board).c_str());
        }
        if (o.port) {
            const Parity parity = o.parity.value_or(
                parityFromRaw(prefs->text("parity").value_or("None")).value_or(Parity::none));
            bridge->start(*o.port, o.baud.value_or(prefs->integer("baud").value_or(115200)),
                          o.dataBits.value_or(prefs->integer("dataBits").value_or(8)), parity,
                          o.twoStop.value_or(prefs->boolean("twoStop").value_or(false)),
                          o.hwFlow.value_or(prefs->boolean("hwFlow").value_or(false)));
        } else {
            bridge->startFromSaved();
        }
    };
    std::function<void()> retry = [&] {
        attempt();
        if (!bridge->running()) main.postAfter(std::chrono::seconds(1), retry);
    };

    attempt();
    if (!bridge->running()) {
        const bool noPort = !o.port && prefs->text("port").value_or("").empty();
        if (noPort) {
            std::fprintf(stderr,
                         "tessaryn: no serial port saved; give --port PATH or --set port=PATH\n");
            return 1;
        }
        if (!o.wait) {
            std::fprintf(stderr, "tessaryn: %s\n", bridge->status().c_str());
            return 1;
        }
        main.postAfter(std::chrono::seconds(1), retry);
    }

    std::thread signals([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        main.post([&] {
            bridge->shutdown();  // releases held notes; no thread of the bridge runs after it
            main.quit();
        });
    });
    main.run();
    signals.join();
    return 0;
}

#if TESSARYN_HAVE_QT
// Loads the window module only now, so headless runs never map the GUI libraries.
int loadDesktop(int argc, char** argv, const DesktopOptions& options) {
    std::string tried;
    if (void* module = openModule("tessaryn-desktop.so", tried)) {
        using Entry = int (*)(int, char**, const DesktopOptions*);
        auto entry = reinterpret_cast<Entry>(::dlsym(module, "tessaryn_run_desktop"));
        if (!entry)
            return std::fprintf(stderr, "tessaryn: the window module has no entry point\n"), 1;
        return entry(argc, argv, &options);
    }
    std::fprintf(stderr,
                 "tessaryn: cannot load the desktop window (install the package tessaryn-desktop, "
                 "or use --headless):%s\n",
                 tried.c_str());
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

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (auto code = parse(argc, argv, o)) return *code;

    if (o.listPorts) {
        for (const auto& p : linuxPorts(o.devDir, "/sys")) std::printf("%s\n", p.c_str());
        return 0;
    }

    const std::filesystem::path configDir =
        o.configDir.empty() ? instanceConfigDir(o.name) : std::filesystem::path(o.configDir);
    auto prefs = std::make_shared<Preferences>(configDir);
    // The name chosen in the window's settings, kept in this folder: the instance whose
    // preferences these are runs under it from its next start on.
    if (const auto saved = prefs->text("name");
        !o.nameGiven && saved && !instanceNameProblem(*saved))
        o.name = *saved;
    if (o.listMidi) return listMidi(o, *prefs);
    if (!o.sets.empty()) {
        Preferences::Batch batch(*prefs);
        for (const auto& [key, value] : o.sets) storeSetting(*prefs, *key, value);
    }
    const std::string& saveProblem = prefs->saveProblem();
    if (!prefs->loadProblem().empty() && prefs->loadProblem() != saveProblem)
        std::fprintf(stderr, "tessaryn: %s\n", prefs->loadProblem().c_str());
    if (!saveProblem.empty()) {
        std::fprintf(stderr, "tessaryn: %s\n", saveProblem.c_str());
        return 1;
    }
    if (o.settings) return showSettings(*prefs);
    if (o.headless) return runHeadless(o, prefs);
    if (!o.sets.empty()) return 0;
#if TESSARYN_HAVE_QT
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr,
                     "tessaryn: no graphical display here; run with --headless (see --help)\n");
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
    return loadDesktop(argc, argv, desktop);
#else
    std::fprintf(stderr,
                 "tessaryn: this build has no desktop window; run with --headless (see --help)\n");
    return 2;
#endif
}
