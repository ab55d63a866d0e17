#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <sstream>
#include <tuple>

#include "bridge/instance.h"
#include "bridge/preferences.h"
#include "bridge/settings_table.h"
#include "cli/journal.h"
#include "cli/line_writer.h"
#include "cli/process.h"
#include "serial/pty.h"
#include "temp_dir.h"

using namespace tessaryn;
using namespace tessaryn::testing;
namespace fs = std::filesystem;

namespace {

struct Cli : TempDirTest {
    std::vector<std::string> with(std::vector<std::string> args) {
        args.insert(args.end(), {"--config-dir", (dir / "config").string()});
        return args;
    }
};

}  // namespace

// The manual page is filled from the same tables as --help and --settings: one entry of each
// kind shows the filling worked, and its last section that the template came through whole.
TEST_F(Cli, VersionHelpManualPageAndUsageErrors) {
    Process help({"-h"});
    EXPECT_EQ(help.wait(), 0);
    std::istringstream lines(help.out());
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_NE(help.out().find("\n  -h, --help "), std::string::npos) << help.out();
    const std::string man = readFile(TESSARYN_MANPAGE);
    for (const char* part :
         {"\n\\fB\\-h\\fR, \\fB\\-\\-help\\fR\n", "\n\\fB\\-\\-set\\fR \\fIKEY=VALUE\\fR\n",
          "\n.B dataBits\ndata bits; a whole number from 5 to 8 (default: 8; read each time a "
          "connection starts from the saved settings)\n",
          ".SH SEE ALSO"})
        EXPECT_NE(man.find(part), std::string::npos) << part;
    for (const char* version : {"--version", "-V"}) {
        Process p({version});
        EXPECT_EQ(p.wait(), 0);
        EXPECT_EQ(p.out().rfind("tessaryn ", 0), 0u);
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--bogus"}, "unknown or incomplete option --bogus"},
        {{"--headless", "--baud", "0"},
         "--baud takes a whole number from 1 to 2147483647, not \"0\""},
        {{"--name", "../x", "--headless"},
         "--name cannot be \"../x\": the name cannot contain '/'"},
        {{"--set", "nokey=1"}, "unknown setting nokey"},
        {{"--set", "baud"}, "--set takes KEY=VALUE"},
        {{"--set", "baud=9600", "--set", "holdDTR=yes"},
         "holdDTR takes true or false, not \"yes\""},
        {{"--set", "port=/dev/ttyACM0", "--help"}, "--set does not go with --help"},
        {{"--no-hw-flow"}, "--port and the line options go with --headless"},
        {{"stray"}, "unexpected argument stray"},
    };
    for (const auto& [args, said] : bad) {
        Process p(with(args));
        EXPECT_EQ(p.wait(), 2) << args[0];
        EXPECT_EQ(p.err(), "tessaryn: " + said + " (try --help)\n");
        EXPECT_EQ(p.out(), "");
    }
    EXPECT_FALSE(fs::exists(dir / "config"));
}

// What --set and the flags accept and refuse, and each refusal's words.
TEST(SettingsTable, EachValueIsTakenOrRefusedWithTheRange) {
    const std::tuple<const char*, const char*, std::optional<SettingValue>, const char*> cases[] = {
        {"baud", "31250", std::int64_t{31250}, ""},
        {"baud", "2147483648", {}, "takes a whole number from 1 to 2147483647, not \"2147483648\""},
        {"baud", "1.5", {}, "takes a whole number from 1 to 2147483647, not \"1.5\""},
        {"velocityCurve", "0.4", 0.4, ""},
        {"velocityCurve", "-3", {}, "takes a number from 0.4 to 1.8, not \"-3\""},
        {"hardwareInID", "-2147483648", std::int64_t{-2147483648}, ""},
        {"parity", "none", std::string("None"), ""},
        {"parity", "od", {}, "takes none, even or odd, not \"od\""},
        {"midi", "JACK", std::string("jack"), ""},
        {"midi", "pipewire", {}, "takes alsa or jack, not \"pipewire\""},
        {"port", "", std::string(), ""},
        {"learnedRoutes", "[{}]", {}, "takes a JSON list of routes"},
    };
    for (const auto& [key, text, value, problem] : cases) {
        const SettingParse got = parseSetting(*findSetting(key), text);
        EXPECT_EQ(got.value, value) << key << "=" << text;
        EXPECT_EQ(got.problem, problem) << key << "=" << text;
    }
    // The defaults pass their own checks, so the engine and the window can take them as they are.
    for (const auto& s : settingKeys()) EXPECT_TRUE(parseSetting(s, s.defaultText).value) << s.name;
}

// Priorities go only on the stream the journal named. A reader that stops (a pager, Ctrl+S)
// never holds the writer up: what did not fit its bound is dropped whole, and said when the reader
// reads again.
TEST(Output, JournalPrioritiesAndAReaderThatStopsHoldsNothingUp) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    struct stat st {};
    ::fstat(fds[1], &st);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    const Journal toJournal(stream.c_str(), fds[1], fds[1]);
    using L = Journal::Level;
    using S = Journal::Stream;
    EXPECT_EQ(toJournal.format(S::err, L::error, "lost"), "<3>tessaryn: lost\n");
    EXPECT_EQ(toJournal.format(S::out, L::warning, "Waiting"), "<4>Waiting\n");
    EXPECT_EQ(toJournal.format(S::out, L::info, "Bridging"), "<6>Bridging\n");
    for (const std::string& other : {std::string(), "1:2" + stream, stream + "x", "x:" + stream})
        EXPECT_FALSE(isJournalStream(other.c_str(), fds[1])) << other;
    EXPECT_FALSE(isJournalStream(stream.c_str(), STDIN_FILENO));  // never this new pipe

    const std::string line(99, 'x');
    constexpr std::size_t kLines = 5000;  // 500 KB: far beyond what the pipe and the bound hold
    std::optional<LineWriter> out(std::in_place, fds[1], 8 * 1024);
    for (std::size_t i = 0; i < kLines; ++i) out->add(line + "\n");
    // Ending does not wait the whole kDrainWait for a reader that takes nothing.
    const auto start = std::chrono::steady_clock::now();
    out.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, LineWriter::kDrainWait);
    const auto got = LineEnd{fds[0]}.receive(1 << 20, 500ms);
    // Every line whole, and each run that did not fit counted where it went.
    std::size_t kept = 0, dropped = 0;
    std::istringstream lines(std::string(got.begin(), got.end()));
    for (std::string l; std::getline(lines, l);) {
        if (l == line) {
            ++kept;
        } else {
            ASSERT_NE(l.find(" lines dropped: this output was not being read"), std::string::npos)
                << l;
            dropped += std::stoul(l);
        }
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(kept + dropped, kLines);
    for (int fd : fds) ::close(fd);
}

TEST_F(Cli, SetAndSettingsRoundTripAndAnUnreadableFileStoresNothing) {
    // An action beside --set runs after the settings are stored. A whole number shows as 1.0.
    Process set(with({"--set", "baud=31250", "--set", "parity=even", "--set", "velocityCurve=1",
                      "--set", "holdDTR=true", "--set", "port=/dev/ttyACM0", "--set", "name=Pads",
                      "--list-ports", "--dev-dir", dir.string()}));
    ASSERT_EQ(set.wait(), 0) << set.err();
    Process show(with({"--settings"}));
    ASSERT_EQ(show.wait(), 0);
    for (const char* line :
         {"baud = 31250 (default: 115200)\n", "parity = Even (default: None)\n",
          "velocityCurve = 1.0 (default: 1.0)\n", "holdDTR = true (default: false)\n",
          "name = Pads (default: Halvenor)\n", "port = /dev/ttyACM0 (default: )\n",
          "remapNotes = true (default, not set)\n"}) {
        EXPECT_NE(show.out().find(line), std::string::npos) << line << show.out();
    }

    const fs::path file = dir / "config/preferences.json";
    fs::remove(file);
    fs::create_directory(file);  // unreadable as a file, also by root: nothing stored, and why
    Process unreadable(with({"--set", "baud=9600"}));
    EXPECT_EQ(unreadable.wait(), 1);
    EXPECT_EQ(unreadable.err(),
              "tessaryn: Cannot read " + file.string() + ": not a regular file\n");
}

TEST_F(Cli, HeadlessNeedsAPortAndAMIDISystem) {
    Process noPort(with({"--headless"}));
    EXPECT_EQ(noPort.wait(), 1);
    const std::string err = noPort.err();
    if (::access("/dev/snd/seq", F_OK) != 0) {
        EXPECT_NE(err.find("Cannot open the ALSA sequencer"), std::string::npos) << err;
    } else {
        EXPECT_EQ(err, "tessaryn: no serial port saved; give --port PATH or --set port=PATH\n");
    }
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(noPort.out(), "");
    const std::string server = "tessaryn-none-" + std::to_string(::getpid());
    ::setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    Process jack(with({"--headless", "--midi", "jack", "--port", "/dev/null"}));
    EXPECT_EQ(jack.wait(), 1);
#if TESSARYN_HAVE_JACK
    EXPECT_PRED_FORMAT2(::testing::IsSubstring,
                        "No JACK server named \"" + server +
                            "\" is running; start one with `jackd -d alsa` or use PipeWire's JACK",
                        jack.err());
#endif
    // An install without the JACK package: the program alone, no module beside it.
    fs::copy_file(TESSARYN_EXE, dir / "tessaryn");
    Process alone({"--midi", "jack", "--list-midi"}, (dir / "tessaryn").string());
    EXPECT_EQ(alone.wait(), 1);
    EXPECT_TRUE(alone.err().starts_with(
        "tessaryn: the JACK backend is not installed (install the package tessaryn-jack)"))
        << alone.err();
    ::unsetenv("JACK_DEFAULT_SERVER");
}

#if TESSARYN_HAVE_QT
TEST_F(Cli, OneNameOneProgramDesktopOrHeadless) {
    fs::permissions(dir, fs::perms::owner_all);  // as Qt wants a runtime folder
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const InstanceLock headless("Pads", InstanceLock::Kind::headless);
    ASSERT_TRUE(headless.held()) << headless.problem();
    Process desktop(with({"--name", "Pads"}));
    // It stops before any MIDI system is opened, and also says so in a message box. The lock's
    // words are the lock test's.
    EXPECT_TRUE(eventually([&] {
        return desktop.err().starts_with("tessaryn: A headless tessaryn named \"Pads\" is running");
    })) << desktop.err();

    // The name saved in the window's settings names the next run.
    Preferences(dir / "config").setText("name", "Pads");
    Process saved(with({"--headless", "--port", "/dev/null"}));
    EXPECT_EQ(saved.wait(), 1);
    EXPECT_NE(saved.err().find("A headless tessaryn named \"Pads\""), std::string::npos)
        << saved.err();
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("XDG_RUNTIME_DIR");
}
#endif
