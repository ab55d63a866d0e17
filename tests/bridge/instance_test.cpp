#include <gtest/gtest.h>
#include <sys/stat.h>

#include "temp_dir.h"

#include "bridge/instance.h"
#include "bridge/preferences.h"

using namespace tessaryn;
namespace fs = std::filesystem;

TEST(InstanceName, RefusesWhatCouldEscapeItsFolderOrBreakAPortName) {
    for (const std::string& good : {std::string("Halvenor"), std::string("Pad 2"),
                                    std::string(".pads"), std::string(40, 'x')})
        EXPECT_EQ(instanceNameProblem(good), std::nullopt) << good;
    const std::pair<std::string, const char*> bad[] = {
        {"", "empty"},          {"../x", "'/'"},          {"a/b", "'/'"},
        {".", "\".\""},         {"..", "\"..\""},         {"Pad:1", "':'"},
        {" Pad", "space"},      {"Pad ", "space"},        {"Pad\t1", "printable"},
        {"Pad\n", "printable"}, {"Pädchen", "printable"}, {std::string(41, 'x'), "40"},
    };
    for (const auto& [name, why] : bad) {
        const auto problem = instanceNameProblem(name);
        ASSERT_TRUE(problem) << name;
        EXPECT_NE(problem->find(why), std::string::npos) << name << ": " << *problem;
    }
}

struct InstanceLockTest : tessaryn::testing::TempDirTest {};

TEST_F(InstanceLockTest, OneHolderPerNameWhateverItsKindInAFolderOnlyTheUserEnters) {
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
        struct stat st {};
        ASSERT_EQ(::stat(runtime.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        ASSERT_EQ(::stat((runtime / "Halvenor.lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
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

TEST_F(InstanceLockTest, TheDefaultInstanceKeepsItsPreferencesFolder) {
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    EXPECT_EQ(instanceConfigDir("Halvenor"), dir / "tessaryn");
    EXPECT_EQ(instanceConfigDir("Pad 2"), dir / "tessaryn/instances/Pad 2");
    ::unsetenv("XDG_CONFIG_HOME");
}
