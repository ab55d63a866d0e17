#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "temp_dir.h"

#include <cmath>
#include <fstream>

#include "bridge/preferences.h"

using tessaryn::Preferences;
namespace fs = std::filesystem;

namespace {

struct PrefsDir : tessaryn::testing::TempDirTest {
    void write(const std::string& text) { std::ofstream(dir / "preferences.json") << text; }
};

// Every base64 padding case, and all byte values.
constexpr std::size_t kDataSizes[] = {0, 1, 2, 3, 4, 255};
std::string bytes(std::size_t n) {
    std::string out;
    for (std::size_t k = 0; k < n; ++k) out += static_cast<char>(k * 37);
    return out;
}

}  // namespace

TEST_F(PrefsDir, TypedReadsNeverConvertText) {
    write(R"({"b": true, "i": 42, "d": 0.5, "t": "true", "n": "42", "big": 18446744073709551615,
              "whole": 31250.0, "huge": 1e300,
              "obj": {"x": 1}, "data": {"$data": "AAEC/w=="}, "baddata": {"$data": "!!"}})");
    Preferences p(dir);
    EXPECT_EQ(p.boolean("b"), true);
    for (const char* key : {"t", "i", "absent"}) EXPECT_EQ(p.boolean(key), std::nullopt) << key;
    EXPECT_EQ(p.integer("i"), 42);
    for (const char* key : {"n", "d", "big", "huge"})
        EXPECT_EQ(p.integer(key), std::nullopt) << key;
    EXPECT_EQ(p.integer("whole"), 31250);
    EXPECT_EQ(p.real("d"), 0.5);
    EXPECT_EQ(p.real("i"), 42.0);
    EXPECT_EQ(p.text("t"), "true");
    EXPECT_EQ(p.text("i"), std::nullopt);
    EXPECT_EQ(p.data("data"), std::string("\x00\x01\x02\xff", 4));
    EXPECT_EQ(p.data("obj"), std::nullopt);
    EXPECT_EQ(p.data("baddata"), std::nullopt);
    EXPECT_EQ(p.text("data"), std::nullopt);  // data is not text
}

TEST_F(PrefsDir, WritesSurviveAReopenAndDataReadsBackAsData) {
    {
        Preferences p(dir);
        p.setBoolean("b", false);
        p.setInteger("i", -7);
        p.setReal("d", 1.25);
        p.setReal("whole", 2.0);
        p.setText("t", "/dev/ttyACM0");
        for (std::size_t n : kDataSizes) p.setData("data" + std::to_string(n), bytes(n));
        p.setReal("nan", std::nan(""));
    }
    Preferences p(dir);
    EXPECT_EQ(p.boolean("b"), false);
    EXPECT_EQ(p.integer("i"), -7);
    EXPECT_EQ(p.real("d"), 1.25);
    EXPECT_EQ(p.real("whole"), 2.0);
    EXPECT_EQ(p.text("t"), "/dev/ttyACM0");
    for (std::size_t n : kDataSizes) EXPECT_EQ(p.data("data" + std::to_string(n)), bytes(n)) << n;
    EXPECT_FALSE(p.contains("nan"));
    p.remove("b");
    EXPECT_FALSE(Preferences(dir).contains("b"));
    // Nothing but the file and the lock is left behind.
    for (const auto& e : fs::directory_iterator(dir)) {
        const auto name = e.path().filename().string();
        EXPECT_TRUE(name == "preferences.json" || name == ".lock") << name;
    }
}

TEST_F(PrefsDir, DamagedFilesAreKeptAsideNeverOverwritten) {
    // Nested too deep for settings: writing it back once overflowed the stack.
    const std::string deep = "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    for (const std::string& damage :
         {std::string("{\"a\": tru"), std::string("[1,2]"), std::string("\x00\xff", 2), deep}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        write(damage);
        Preferences p(dir);
        EXPECT_FALSE(p.loadProblem().empty());
        EXPECT_EQ(p.boolean("a"), std::nullopt);
        p.setBoolean("a", true);
        int aside = 0;
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().filename().string().starts_with("preferences.json.damaged-")) {
                std::ifstream in(e.path(), std::ios::binary);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), damage);
                ++aside;
            }
        }
        EXPECT_EQ(aside, 1);
        std::ifstream in(dir / "preferences.json");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{\"a\":true}\n");
    }
}

TEST_F(PrefsDir, AnUnreadableFileIsLeftAlone) {
    // Unreadable as a file for everyone, root included: a folder, and a FIFO nobody writes to
    // (opening it must not hang).
    const fs::path file = dir / "preferences.json";
    for (const bool fifo : {false, true}) {
        fs::remove_all(file);
        if (fifo) {
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        } else {
            fs::create_directories(file);
        }
        Preferences p(dir);
        EXPECT_FALSE(p.loadProblem().empty()) << fifo;
        p.setBoolean("a", false);
        EXPECT_EQ(p.boolean("a"), false);  // the session still works in memory
        EXPECT_EQ(p.saveProblem(), p.loadProblem());
        EXPECT_TRUE(fs::exists(file));
        EXPECT_FALSE(fs::exists(dir / ("preferences.json.tmp-" + std::to_string(::getpid()))));
    }
}

TEST_F(PrefsDir, AWriteChangesOnlyItsOwnKeysAndABatchSavesOnceAtTheEnd) {
    Preferences running(dir);
    running.setBoolean("dropClock", true);
    running.setText("gone", "x");
    {
        Preferences set(dir);  // another process
        set.setText("port", "/dev/ttyACM0");
        set.setInteger("baud", 31250);
        set.remove("gone");
    }
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

TEST_F(PrefsDir, TwoProcessesWritingLeaveAWholeFile) {
    const pid_t child = ::fork();
    if (child == 0) {
        Preferences p(dir);
        for (int i = 0; i < 200; ++i) p.setInteger("child", i);
        ::_exit(0);
    }
    Preferences p(dir);
    for (int i = 0; i < 200; ++i) p.setInteger("parent", i);
    int status = 0;
    ::waitpid(child, &status, 0);
    Preferences after(dir);
    EXPECT_TRUE(after.loadProblem().empty());
    EXPECT_EQ(after.integer("parent"), 199);
    EXPECT_EQ(after.integer("child"), 199);
}
