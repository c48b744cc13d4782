#include "control/Profile.h"

#include "TempFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

using namespace std::string_literals;

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_temp.m_strPath.empty()); }

    // Reads into a buffer of `size` followed by guard bytes; checks the count returned and that
    // nothing was written past the buffer.
    std::string Read(const char* section, const char* key, const char* def = "dflt",
                     uint32_t size = 512, const std::string& path = {}) {
        std::vector<char> buffer(size + 8, '#');
        const uint32_t n = ReadProfileString(section, key, def, buffer.data(), size,
                                             (path.empty() ? m_strPath : path).c_str());
        EXPECT_EQ(n, std::strlen(buffer.data()));
        EXPECT_EQ(std::string(buffer.begin() + size, buffer.end()), std::string(8, '#'));
        return buffer.data();
    }

    CTempFolder m_temp;
    std::string m_strPath = m_temp.m_strPath + "/VELO.INI";
};

TEST_F(ProfileTest, FindsValuesAsThePlatformDoes) {
    // File, section, key, expected text (the default is "dflt").
    // clang-format off
    const char* const cases[][4] = {
        {"  [ Init ]  \n  fast =  0  \n", " init ", " FAST ", "0"},        // case and blanks
        {"[INIT]\nHigh_Effect\t=\t1 \n[SPEED]\n1.6=66\n", "INIT", "1.6", "dflt"},// other section
        {"[INIT]\nFAST=\nX=1\n", "INIT", "FAST", ""},                        // present but empty
        {"[INIT]\nFAST=0\n", "INIT", "HIGH_EFFECT", "dflt"},                 // missing key
        {"[INIT]\nFAST=0\n", "SPEED", "FAST", "dflt"},                       // missing section
        {"FAST=0\n[INIT]\n", "INIT", "FAST", "dflt"},                        // before any section
        {"[INIT]\nFAST=1st\nFAST=2nd\n", "INIT", "FAST", "1st"},            // first key wins
        {"[INIT]\nA=1\n[init]\nFAST=0\n", "INIT", "FAST", "dflt"},           // first section only
        {"[INIT]\n;FAST=0\n", "INIT", "FAST", "dflt"},                       // comment
        {"[INIT]\n ;[SPEED]\n1.0=x\n", "SPEED", "1.0", "dflt"},               // commented header
        {"[INIT]\nno equals\n[broken\nFAST=2\n", "INIT", "FAST", "2"},      // malformed lines
        {"\xEF\xBB\xBF[INIT]\r\nFAST=0\r\n", "INIT", "FAST", "0"},           // BOM and CRLF
        {"[SPEED]\r1.2=70,1\r1.4=80", "SPEED", "1.4", "80"},                 // CR only
        {"[Q]\nA=  \"x y\"  \n", "Q", "A", "x y"},                           // quotes
        {"[Q]\nA='  padded  '\n", "Q", "A", "  padded  "},
        {"[Q]\nA=\"mismatch'\n", "Q", "A", "\"mismatch'"},
        {"[Q]\nA=\"\"\n", "Q", "A", ""},
        {"[Q]\nA=say \"hi\"\n", "Q", "A", "say \"hi\""},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        WriteFile(m_strPath, c[0]);
        EXPECT_EQ(Read(c[1], c[2]), c[3]);
    }
    EXPECT_EQ(Read(nullptr, "FAST"), "dflt");
    EXPECT_EQ(Read("Q", nullptr), "dflt");
}

TEST_F(ProfileTest, DefaultLosesTrailingSpacesAndEverythingIsCutAtTheBufferSize) {
    EXPECT_EQ(Read("INIT", "FAST", "32   "), "32");
    EXPECT_EQ(Read("INIT", "FAST", nullptr), "");
    EXPECT_EQ(Read("INIT", "MISSING", "123456", 3), "12");
    WriteFile(m_strPath, "[INIT]\nFAST=abcdef\n");
    EXPECT_EQ(Read("INIT", "FAST", "", 7), "abcdef");
    EXPECT_EQ(Read("INIT", "FAST", "", 6), "abcde");
    EXPECT_EQ(Read("INIT", "FAST", "", 1), "");
    char untouched = '#';
    EXPECT_EQ(ReadProfileString("INIT", "FAST", "", &untouched, 0, m_strPath.c_str()), 0u);
    EXPECT_EQ(untouched, '#');
    EXPECT_EQ(ReadProfileString("INIT", "FAST", "", nullptr, 16, m_strPath.c_str()), 0u);
}

TEST_F(ProfileTest, UnreadableFilesGiveTheDefault) {
    EXPECT_EQ(Read("INIT", "FAST", "1", 512, m_temp.m_strPath), "1"); // a directory
    EXPECT_EQ(Read("INIT", "FAST", "1", 512, "/dev/zero"), "1");
    ASSERT_EQ(::mkfifo(m_strPath.c_str(), 0600), 0); // must not wait for a writer
    EXPECT_EQ(Read("INIT", "FAST", "1"), "1");
    ASSERT_EQ(::unlink(m_strPath.c_str()), 0);
    WriteFile(m_strPath, "[INIT]\nFAST=0\n" + std::string(10 << 20, '\n'));
    EXPECT_EQ(Read("INIT", "FAST", "1"), "1");
    if (::geteuid() != 0) { // root reads whatever the mode says
        WriteFile(m_strPath, "[INIT]\nFAST=0\n");
        ASSERT_EQ(::chmod(m_strPath.c_str(), 0), 0);
        EXPECT_EQ(Read("INIT", "FAST", "1"), "1");
    }
}

TEST_F(ProfileTest, SurvivesGarbageAndLongLines) {
    std::string garbage;
    for (uint32_t i = 0, nState = 12345; i < 65536; ++i) {
        nState = nState * 1103515245u + 12345u;
        garbage += static_cast<char>(nState >> 24);
    }
    WriteFile(m_strPath,
              garbage + "\n[INIT]\nFAST=1\0tail\nLONG="s + std::string(300000, 'v') + "\nNEXT=1\n");
    EXPECT_EQ(Read("INIT", "FAST"), "1");
    EXPECT_EQ(Read("INIT", "LONG"), std::string(511, 'v'));
    EXPECT_EQ(Read("INIT", "NEXT"), "1");
}

} // namespace
