#include <gtest/gtest.h>

#include "temp_dir.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bridge/instance.h"
#include "bridge/preferences.h"
#include "cli/process.h"
#if TESSARYN_HAVE_ALSA
#include "midi/alsa/alsa_midi.h"
#endif

using namespace tessaryn;
using namespace tessaryn::testing;
namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Cli : tessaryn::testing::TempDirTest {
    std::vector<std::string> with(std::vector<std::string> args) {
        args.push_back("--config-dir");
        args.push_back((dir / "config").string());
        return args;
    }
};

}  // namespace

// --help is read in full by the manual page test below.
TEST_F(Cli, VersionAndUsageErrors) {
    Process version({"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out().rfind("tessaryn ", 0), 0u);

    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--baud"},
        {"--headless", "--baud", "0"},
        {"--headless", "--baud", "fast"},
        {"--headless", "--data-bits", "9"},
        {"--headless", "--parity", "Even"},
        {"--midi", "coremidi"},
        {"--name", ".."},
        {"--set", "midi=pipewire"},
        {"--set", "nokey=1"},
        {"--set", "baud"},
        {"--port", "/dev/ttyACM0"},
        {"--no-hw-flow"},  // known, but only with --headless
        {"stray"},
    };
    for (const auto& args : bad) {
        Process p(with(args));
        EXPECT_EQ(p.wait(), 2) << args[0];
        const std::string err = p.err();
        EXPECT_NE(err.find("(try --help)"), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

TEST_F(Cli, ANameThatWouldLeaveItsFolderIsRefused) {
    Process p(with({"--name", "../x", "--headless"}));
    EXPECT_EQ(p.wait(), 2);
    EXPECT_EQ(p.err(), "tessaryn: --name ../x: the name cannot contain '/' (try --help)\n");
    EXPECT_FALSE(fs::exists(dir / "x"));
}

// The manual page is generated from the tables --help and --settings print; every option and
// key a user can see there must be documented.
TEST_F(Cli, ManualPageDocumentsEveryOptionAndSetting) {
    const std::string man = contents(TESSARYN_MANPAGE);
    ASSERT_FALSE(man.empty()) << TESSARYN_MANPAGE;
    auto roff = [](const std::string& text) {
        std::string out;
        for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
        return out;
    };

    Process help({"--help"});
    ASSERT_EQ(help.wait(), 0);
    std::istringstream helpLines(help.out());
    int options = 0;
    for (std::string line; std::getline(helpLines, line);) {
        if (line.rfind("  --", 0) != 0) continue;  // "  --name ARG   help"
        ++options;
        std::istringstream words(line);
        std::string name, argument;
        words >> name;
        std::string entry = ".TP\n\\fB" + roff(name) + "\\fR";
        if (line[2 + name.size() + 1] != ' ' && words >> argument)
            entry += " \\fI" + roff(argument) + "\\fR";
        EXPECT_NE(man.find(entry + "\n"), std::string::npos) << entry;
    }
    EXPECT_GE(options, 18);

    Process settings(with({"--settings"}));
    ASSERT_EQ(settings.wait(), 0);
    std::istringstream lines(settings.out());
    for (std::string line; std::getline(lines, line);) {
        const std::string key = line.substr(0, line.find(' '));
        EXPECT_NE(man.find(".TP\n.B " + key + "\n"), std::string::npos) << key;
    }
    for (const char* section : {".SH FILES", ".SH EXIT STATUS", ".SH EXAMPLES", "preferences.json",
                                "autostart/tessaryn.desktop", "tessaryn.service"})
        EXPECT_NE(man.find(section), std::string::npos) << section;
}

#if TESSARYN_HAVE_ALSA
TEST(SequencerHint, NamesTheModuleAndTheKernelPackage) {
    EXPECT_EQ(sequencerMissingHint("6.1.0-cloud", "x86_64", true),
              "/dev/snd/seq is missing: load the kernel module snd-seq (sudo modprobe snd-seq)");
    const std::pair<const char*, const char*> kernels[] = {
        {"x86_64", "package linux-image-amd64"},
        {"aarch64", "package linux-image-arm64"},
        {"riscv64", "Debian's linux-image packages"},
    };
    for (const auto& [machine, package] : kernels) {
        EXPECT_EQ(sequencerMissingHint("6.1.0-cloud", machine, false),
                  std::string("/dev/snd/seq is missing and this kernel (6.1.0-cloud) has no "
                              "snd-seq module: install and boot a kernel with sound support (") +
                      package + "), then sudo modprobe snd-seq");
    }
}
#endif

TEST_F(Cli, SetAndSettingsRoundTripAndRefusalsWriteNothing) {
    Process set(with({"--set", "baud=31250", "--set", "parity=Even", "--set", "velocityCurve=1.4",
                      "--set", "holdDTR=true", "--set", "port=/dev/ttyACM0", "--set",
                      "targetNote=-3", "--set", "dataBits=7"}));
    ASSERT_EQ(set.wait(), 0) << set.err();
    Preferences stored(dir / "config");
    EXPECT_EQ(stored.integer("baud"), 31250);
    EXPECT_EQ(stored.text("parity"), "Even");
    EXPECT_EQ(stored.real("velocityCurve"), 1.4);
    EXPECT_EQ(stored.boolean("holdDTR"), true);
    EXPECT_EQ(stored.integer("targetNote"), -3);

    const fs::path file = dir / "config/preferences.json";
    auto doc = nlohmann::json::parse(contents(file));
    doc["velocityCurve"] = 1.0;
    doc["dataBits"] = 8.0;  // as other tools write whole numbers
    std::ofstream(file) << doc.dump();
    Process show(with({"--settings"}));
    ASSERT_EQ(show.wait(), 0);
    const std::string out = show.out();
    for (const char* line :
         {"baud = 31250 (default: 115200)\n", "parity = Even (default: None)\n",
          "velocityCurve = 1.0 (default: 1.0)\n", "dataBits = 8 (default: 8)\n",
          "port = /dev/ttyACM0 (default: )\n", "remapNotes = true (default, not set)\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }

    const std::string text = contents(file);
    for (const auto& bad : {"holdDTR=yes", "baud=1.5", "baud=", "velocityCurve=nan", "parity=odd",
                            "learnedRoutes=[{}]", "dataBits=eight"}) {
        Process p(with({"--set", "baud=9600", "--set", bad}));
        EXPECT_EQ(p.wait(), 2) << bad;
    }
    EXPECT_EQ(contents(file), text);
}

TEST_F(Cli, SetFailsWithTheReasonWhenThePreferencesCannotBeRead) {
    fs::create_directories(dir / "config");
    if (::geteuid() == 0) {
        fs::create_directories(dir / "config/preferences.json");  // root reads any file
    } else {
        std::ofstream(dir / "config/preferences.json") << "{}";
        fs::permissions(dir / "config/preferences.json", fs::perms::none);
    }
    Process p(with({"--set", "baud=31250"}));
    EXPECT_EQ(p.wait(), 1);
    EXPECT_NE(p.err().find("Cannot read " + (dir / "config/preferences.json").string() + ": "),
              std::string::npos)
        << p.err();
}

TEST_F(Cli, ListPortsShowsWhatThePickerWouldOffer) {
    fs::create_directories(dir / "dev/serial/by-id");
    for (auto n : {"ttyACM0", "ttyUSB3", "tty0", "null", "ttyAMA0", "video0"})
        std::ofstream(dir / "dev" / n) << "";
    fs::create_symlink("../../ttyUSB3", dir / "dev/serial/by-id/usb-FTDI_Cable_A1-if00-port0");
    Process p({"--list-ports", "--dev-dir", (dir / "dev").string()});
    ASSERT_EQ(p.wait(), 0);
    const std::string d = (dir / "dev").string();
    EXPECT_EQ(p.out(), d + "/serial/by-id/usb-FTDI_Cable_A1-if00-port0\n" + d + "/ttyACM0\n" + d +
                           "/ttyAMA0\n");
}

TEST_F(Cli, HeadlessNeedsAPortAndAMIDISystem) {
    Process noPort(with({"--headless"}));
    const int code = noPort.wait();
    EXPECT_EQ(code, 1);
    const std::string err = noPort.err();
    if (::access("/dev/snd/seq", F_OK) != 0) {
        EXPECT_NE(err.find("Cannot open the ALSA sequencer"), std::string::npos) << err;
        EXPECT_NE(err.find("/dev/snd/seq is missing"), std::string::npos) << err;
        EXPECT_NE(err.find("modprobe snd-seq"), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    } else {
        EXPECT_NE(err.find("no serial port saved"), std::string::npos) << err;
    }
    ::setenv("JACK_DEFAULT_SERVER", ("tessaryn-none-" + std::to_string(::getpid())).c_str(), 1);
    Process jack(with({"--headless", "--midi", "jack", "--port", "/dev/null"}));
    EXPECT_EQ(jack.wait(), 1);
#if TESSARYN_HAVE_JACK
    EXPECT_NE(jack.err().find("is running; start one with `jackd -d alsa` or use PipeWire's JACK"),
              std::string::npos)
        << jack.err();
#endif
    // An install without the JACK package: the program alone, no module beside it.
    fs::copy_file(TESSARYN_EXE, dir / "tessaryn");
    const std::string command = (dir / "tessaryn").string() + " --midi jack --list-midi 2>&1";
    FILE* alone = ::popen(command.c_str(), "r");
    std::string said(4096, '\0');
    said.resize(std::fread(said.data(), 1, said.size(), alone));
    EXPECT_EQ(WEXITSTATUS(::pclose(alone)), 1);
    EXPECT_EQ(said.rfind("tessaryn: the JACK backend is not installed (install the package "
                         "tessaryn-jack)",
                         0),
              0u)
        << said;
    ::unsetenv("JACK_DEFAULT_SERVER");
}

#if TESSARYN_HAVE_QT
TEST_F(Cli, OneNameOneProgramDesktopOrHeadless) {
    const fs::path runtime = dir / "run";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const InstanceLock headless("Pads", InstanceLock::Kind::headless);
    ASSERT_TRUE(headless.held()) << headless.problem();
    Process desktop(with({"--name", "Pads"}));
    // It stops before any MIDI system is opened, and also says so in a message box.
    for (int i = 0; i < 500 && desktop.err().find('\n') == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string err = desktop.err();
    EXPECT_EQ(err.substr(0, err.find('\n') + 1),
              "tessaryn: A headless tessaryn named \"Pads\" is running and has its MIDI ports; "
              "stop it, or give this one another --name\n");

    // The name saved in the window's settings names the next run; --name overrides it.
    Preferences(dir / "config").setText("name", "Pads");
    Process saved(with({"--headless", "--port", "/dev/null"}));
    EXPECT_EQ(saved.wait(), 1);
    EXPECT_NE(saved.err().find("A headless tessaryn named \"Pads\""), std::string::npos)
        << saved.err();
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("XDG_RUNTIME_DIR");
}
#endif
