#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>

#include "bridge/instance.h"
#include "bridge/preferences.h"
#include "temp_dir.h"

using namespace tessaryn;
using namespace tessaryn::testing;
namespace fs = std::filesystem;

using PrefsDir = TempDirTest;

// Typed reads never convert; what is written survives a reopen, data as data.
TEST_F(PrefsDir, WritesSurviveAReopenAndTypedReadsNeverConvertText) {
    std::ofstream(dir / "preferences.json")
        << R"({"b": true, "i": 42, "d": 0.5, "t": "true", "n": "42", "big": 18446744073709551615,
              "whole": 31250.0, "huge": 1e300,
              "obj": {"x": 1}, "data": {"$data": "AAEC/w=="}, "baddata": {"$data": "!!"}})";
    Preferences w(dir);
    w.setBoolean("wb", false);
    w.setInteger("wi", -7);
    w.setReal("wd", 1.25);
    w.setText("wt", "/dev/ttyACM0");
    std::string bytes;  // all byte values; its first 0 to 4 bytes: every base64 padding case
    for (int k = 0; k < 256; ++k) bytes += static_cast<char>(k * 37);
    for (std::size_t n : {0, 1, 2, 3, 4, 256}) w.setData(std::to_string(n), bytes.substr(0, n));
    w.setReal("nan", std::nan(""));
    Preferences p(dir);  // reopened
    EXPECT_EQ(p.boolean("b"), true);
    for (const char* key : {"t", "i", "absent"}) EXPECT_EQ(p.boolean(key), std::nullopt) << key;
    EXPECT_EQ(p.integer("i"), 42);
    for (const char* key : {"n", "d", "big", "huge"})
        EXPECT_EQ(p.integer(key), std::nullopt) << key;
    EXPECT_EQ(p.integer("whole"), 31250);
    EXPECT_EQ(p.real("i"), 42.0);
    for (const char* key : {"i", "data"}) EXPECT_EQ(p.text(key), std::nullopt) << key;
    EXPECT_EQ(p.data("data"), std::string("\x00\x01\x02\xff", 4));
    for (const char* key : {"obj", "baddata"}) EXPECT_EQ(p.data(key), std::nullopt) << key;
    EXPECT_EQ(p.boolean("wb"), false);
    EXPECT_EQ(p.integer("wi"), -7);
    EXPECT_EQ(p.real("wd"), 1.25);
    EXPECT_EQ(p.text("wt"), "/dev/ttyACM0");
    for (std::size_t n : {0, 1, 2, 3, 4, 256})
        EXPECT_EQ(p.data(std::to_string(n)), bytes.substr(0, n)) << n;
    EXPECT_FALSE(p.contains("nan"));
    // Nothing but the file and the lock is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 2);
}

// A damaged file is kept aside and replaced. One unreadable as a file for everyone, root
// included (a folder; a FIFO nobody writes to: opening it must not hang), is left alone while
// the session works in memory.
TEST_F(PrefsDir, DamagedFilesAreKeptAsideAndUnreadableOnesLeftAlone) {
    const fs::path file = dir / "preferences.json";
    // Nested too deep for settings: writing it back once overflowed the stack.
    const std::string deep = "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    for (const std::string& damage :
         {std::string("{\"a\": tru"), std::string("[1,2]"), std::string("\x00\xff", 2), deep,
          std::string("folder"), std::string("fifo")}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        const bool unreadable = damage == "folder" || damage == "fifo";
        if (unreadable) {
            ASSERT_TRUE(damage == "fifo" ? ::mkfifo(file.c_str(), 0600) == 0
                                         : fs::create_directories(file));
        } else {
            std::ofstream(file) << damage;
        }
        Preferences p(dir);
        EXPECT_EQ(p.boolean("a"), std::nullopt);
        p.setBoolean("a", true);
        EXPECT_EQ(p.boolean("a"), true);
        const auto entries = std::distance(fs::directory_iterator(dir), fs::directory_iterator{});
        if (unreadable) {  // still there, with the lock beside it and no temporary file
            EXPECT_FALSE(p.loadProblem().empty()) << damage;
            EXPECT_EQ(p.saveProblem(), p.loadProblem());
            EXPECT_TRUE(fs::exists(file));
            EXPECT_EQ(entries, 2);
            continue;
        }
        const std::string kept = "Damaged preferences kept as ";
        ASSERT_EQ(p.loadProblem().rfind(kept, 0), 0u) << p.loadProblem();
        EXPECT_EQ(readFile(p.loadProblem().substr(kept.size())), damage);
        EXPECT_EQ(entries, 3);  // the new file, its lock and the one kept aside
        EXPECT_EQ(readFile(file), "{\"a\":true}\n");
    }
}

// Also two processes writing at once leave a whole file.
TEST_F(PrefsDir, AWriteChangesOnlyItsOwnKeysAndABatchSavesOnceAtTheEnd) {
    const pid_t child = ::fork();  // both write 200 times, each its own key
    Preferences mine(dir);
    for (int i = 0; i < 200; ++i) mine.setInteger(child == 0 ? "child" : "parent", i);
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    Preferences running(dir);
    EXPECT_TRUE(running.loadProblem().empty());
    EXPECT_EQ(running.integer("parent"), 199);
    EXPECT_EQ(running.integer("child"), 199);
    running.setBoolean("dropClock", true);
    running.setText("gone", "x");
    Preferences set(dir);  // another process
    set.setText("port", "/dev/ttyACM0");
    set.setInteger("baud", 31250);
    set.remove("gone");
    EXPECT_EQ(running.text("port"), std::nullopt);
    running.setBoolean("dropClock", false);
    EXPECT_EQ(running.text("port"), "/dev/ttyACM0");
    Preferences after(dir);
    EXPECT_EQ(after.integer("baud"), 31250);
    EXPECT_EQ(after.boolean("dropClock"), false);
    EXPECT_FALSE(after.contains("gone"));

    after.setInteger("baud", 9600);
    {
        Preferences::Batch batch(running);
        running.setInteger("targetNote", 40);
        running.reload();  // an unsaved change stays on top of what is read
        EXPECT_EQ(running.integer("baud"), 9600);
        EXPECT_EQ(running.integer("targetNote"), 40);
        EXPECT_EQ(Preferences(dir).integer("targetNote"), std::nullopt);  // saved at the end only
    }
    EXPECT_EQ(Preferences(dir).integer("targetNote"), 40);
}

// A name that could escape its folder or break a port name is refused. Each name has its own
// preferences folder, the default one the folder it always had.
TEST_F(PrefsDir, InstancesValidNamesOneFolderEachOneHolderWhateverItsKindInAFolderOnlyYours) {
    // Why a name is refused; "" for a name that is taken.
    const std::string longest(40, 'x');
    const std::pair<std::string, const char*> cases[] = {
        {"Halvenor", ""},        {"Pad 2", ""},          {".pads", ""},
        {longest, ""},           {longest + "x", "40"},  {"", "empty"},
        {"../x", "'/'"},         {"Pad:1", "':'"},       {".", "\".\""},
        {"..", "\"..\""},        {" Pad", "space"},      {"Pad ", "space"},
        {"Pad\t1", "printable"}, {"Pad\n", "printable"}, {"Pädchen", "printable"},
    };
    for (const auto& [name, why] : cases) {
        const std::string problem = instanceNameProblem(name).value_or("");
        EXPECT_EQ(problem.empty(), *why == '\0') << name << ": " << problem;
        EXPECT_NE(problem.find(why), std::string::npos) << name << ": " << problem;
    }
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    EXPECT_EQ(instanceConfigDir("Halvenor"), dir / "tessaryn");
    EXPECT_EQ(instanceConfigDir("Pad 2"), dir / "tessaryn/instances/Pad 2");
    ::unsetenv("XDG_CONFIG_HOME");

    using Kind = InstanceLock::Kind;
    const fs::path runtime = dir / "run";
    const std::pair<Kind, std::string> holders[] = {
        {Kind::headless,
         "A headless tessaryn named \"Halvenor\" is running and has its MIDI ports; stop it, or "
         "give this one another --name"},
        {Kind::desktop,
         "The desktop program named \"Halvenor\" is running and has its MIDI ports; quit it, or "
         "give this one another --name"},
    };
    for (const auto& [kind, problem] : holders) {
        InstanceLock first("Halvenor", kind, runtime);
        ASSERT_TRUE(first.held()) << first.problem();
        EXPECT_EQ(fs::status(runtime).permissions(), fs::perms::owner_all);
        EXPECT_EQ(fs::status(runtime / "Halvenor.lock").permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(first.socketFile(), runtime / "Halvenor.socket");

        for (const Kind second : {Kind::headless, Kind::desktop}) {
            InstanceLock again("Halvenor", second, runtime);
            EXPECT_FALSE(again.held());
            EXPECT_EQ(again.holder(), kind);
            EXPECT_EQ(again.problem(), problem);
        }
        EXPECT_TRUE(InstanceLock("Pad 2", Kind::desktop, runtime).held());
    }
    EXPECT_TRUE(InstanceLock("Halvenor", Kind::headless, runtime).held());  // released with it

    fs::permissions(runtime, fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
    InstanceLock shared("Halvenor", Kind::headless, runtime);
    EXPECT_FALSE(shared.held());
    EXPECT_NE(shared.problem().find("not a folder only you can enter"), std::string::npos);
}
