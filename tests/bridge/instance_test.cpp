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

struct HeadlessLockTest : tessaryn::testing::TempDirTest {};

TEST_F(HeadlessLockTest, OneHolderPerNameInAFolderOnlyTheUserEnters) {
    const fs::path runtime = dir / "run";
    {
        HeadlessLock first("Halvenor", runtime);
        ASSERT_TRUE(first.held()) << first.problem();
        struct stat st {};
        ASSERT_EQ(::stat(runtime.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        ASSERT_EQ(::stat((runtime / "Halvenor.lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        HeadlessLock second("Halvenor", runtime);
        EXPECT_FALSE(second.held());
        EXPECT_EQ(second.problem(),
                  "Another tessaryn named \"Halvenor\" is running; give this one another --name");
        EXPECT_TRUE(HeadlessLock("Pad 2", runtime).held());
    }
    EXPECT_TRUE(HeadlessLock("Halvenor", runtime).held());  // released with its holder

    fs::permissions(runtime, fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
    HeadlessLock shared("Halvenor", runtime);
    EXPECT_FALSE(shared.held());
    EXPECT_NE(shared.problem().find("not a folder only you can enter"), std::string::npos);
}

TEST_F(HeadlessLockTest, TheDefaultInstanceKeepsItsPreferencesFolder) {
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    EXPECT_EQ(instanceConfigDir("Halvenor"), dir / "tessaryn");
    EXPECT_EQ(instanceConfigDir("Pad 2"), dir / "tessaryn/instances/Pad 2");
    ::unsetenv("XDG_CONFIG_HOME");
}
