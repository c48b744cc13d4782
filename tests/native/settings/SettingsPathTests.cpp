#include "control/Settings.h"
#include "control/SettingsPath.h"

#include "TempFolder.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

void SetVariable(const char* name, const std::optional<std::string>& value) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
}

std::optional<std::string> Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

bool IsPrivateFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 077) == 0;
}

// Each test gets a temporary folder; HOME and XDG_CONFIG_HOME are put back afterwards.
class SettingsPathTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_temp.m_strPath.empty()); }
    void TearDown() override {
        SetVariable("HOME", m_home);
        SetVariable("XDG_CONFIG_HOME", m_xdg);
    }
    const std::optional<std::string> m_home = Variable("HOME");
    const std::optional<std::string> m_xdg = Variable("XDG_CONFIG_HOME");
    CTempFolder m_temp;
};

TEST_F(SettingsPathTest, AbsoluteXdgConfigHomeWinsElseHomeConfig) {
    const std::string xdg = m_temp.m_strPath + "/xdg/nested", home = m_temp.m_strPath + "/home";
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(SettingsFilePath(), xdg + "/Korvane/Player/VELO.INI");
    for (const std::string& folder : {xdg, xdg + "/Korvane", xdg + "/Korvane/Player"}) {
        EXPECT_TRUE(IsPrivateFolder(folder)) << folder;
    }
    EXPECT_FALSE(fs::exists(home));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsFilePath(), home + "/.config/Korvane/Player/VELO.INI");
    for (const char* szIgnored : {"", "relative-xdg"}) {
        ::setenv("XDG_CONFIG_HOME", szIgnored, 1);
        EXPECT_EQ(SettingsFilePath(), home + "/.config/Korvane/Player/VELO.INI");
        EXPECT_TRUE(IsPrivateFolder(home + "/.config/Korvane/Player"));
    }
    EXPECT_FALSE(fs::exists("relative-xdg"));
}

TEST_F(SettingsPathTest, AccountHomeWhenHomeIsUnsetOrRelative) {
    const passwd* account = ::getpwuid(::getuid());
    ASSERT_NE(account, nullptr);
    const std::string config = account->pw_dir + "/.config"s;
    const std::string made[] = {config + "/Korvane/Player", config + "/Korvane", config};
    const bool bExisted[] = {fs::exists(made[0]), fs::exists(made[1]), fs::exists(made[2])};
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "not/absolute", 1);
    EXPECT_EQ(SettingsFilePath(), config + "/Korvane/Player/VELO.INI");
    ::unsetenv("HOME");
    EXPECT_EQ(SettingsFilePath(), config + "/Korvane/Player/VELO.INI");
    if (::access(account->pw_dir, W_OK) == 0) { // service accounts may have no home folder
        EXPECT_TRUE(fs::is_directory(made[0]));
    }
    for (int i = 0; i < 3; ++i) { // leave the account's home as it was
        if (!bExisted[i]) {
            ::rmdir(made[i].c_str());
        }
    }
}

TEST_F(SettingsPathTest, FoldersAreMadeWithParentsAndFailuresReported) {
    const std::string deep = m_temp.m_strPath + "/a/b/c";
    EXPECT_TRUE(EnsureFolderExists(deep) && EnsureFolderExists(deep));
    EXPECT_TRUE(IsPrivateFolder(m_temp.m_strPath + "/a") && IsPrivateFolder(deep));
    EXPECT_TRUE(EnsureFolderExists(m_temp.m_strPath + "/d/e/"));
    const std::string file = m_temp.m_strPath + "/file";
    WriteFile(file, "[INIT]\nFAST=0\n");
    EXPECT_FALSE(EnsureFolderExists(file) || EnsureFolderExists(file + "/g"));
    EXPECT_FALSE(EnsureFolderExists(""));
    // A folder that cannot be made still gives the path; reading it gives the defaults.
    ::setenv("XDG_CONFIG_HOME", file.c_str(), 1);
    EXPECT_EQ(SettingsFilePath(), file + "/Korvane/Player/VELO.INI");
    EXPECT_TRUE(ReadInitSettings(SettingsFilePath()).bFast);
}

} // namespace
