#include "control/Settings.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace std::string_literals;

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(InitSettingsTest, DefaultsWithoutFileAndAtolConversionThatSaturates) {
    CTempFolder temp;
    const std::string path = temp.m_strPath + "/VELO.INI";
    for (const std::string& missing : {path, std::string()}) {
        const InitSettings settings = ReadInitSettings(missing);
        EXPECT_TRUE(settings.bFast && settings.bHighEffect);
        EXPECT_EQ(settings.nHighEffectLen, 32);
        EXPECT_FALSE(settings.bRestamp);
        EXPECT_FALSE(settings.bSegmentRate);
    }
    // A file without the key keeps the input's stamps; the key alone turns restamping on.
    WriteFile(path, "[INIT]\nFAST=0\n");
    EXPECT_FALSE(ReadInitSettings(path).bRestamp);
    WriteFile(path, "[INIT]\nRESTAMP=1\n");
    EXPECT_TRUE(ReadInitSettings(path).bRestamp);
    EXPECT_FALSE(ReadInitSettings(path).bSegmentRate);
    WriteFile(path, "[INIT]\nSEGMENT_RATE=1\n");
    EXPECT_TRUE(ReadInitSettings(path).bSegmentRate);
    EXPECT_FALSE(ReadInitSettings(path).bRestamp);
    // clang-format off
    const std::pair<const char*, int32_t> cases[] = {
        {"yes", 0}, {"", 0}, {"-16x", -16}, {"+48", 48}, {"0x10", 0}, {"\"64\"", 64}, {"- 5", 0},
        {"-1", -1}, {"2147483647", kMax}, {"99999999999999999999", kMax}, {"-2147483648", kMin},
        {"-99999999999", kMin}};
    // clang-format on
    for (const auto& [text, nExpected] : cases) {
        SCOPED_TRACE(text);
        WriteFile(path, "[INIT]\nFAST="s + text + "\nHIGH_EFFECT=" + text + "\nHIGH_EFFECT_LEN=" +
                            text + "\nRESTAMP=" + text + "\nSEGMENT_RATE=" + text + "\n");
        const InitSettings settings = ReadInitSettings(path);
        EXPECT_EQ(settings.bFast, nExpected != 0);
        EXPECT_EQ(settings.bHighEffect, nExpected != 0);
        EXPECT_EQ(settings.nHighEffectLen, nExpected);
        EXPECT_EQ(settings.bRestamp, nExpected != 0);
        EXPECT_EQ(settings.bSegmentRate, nExpected != 0);
    }
}

TEST(SpeedTuningTextTest, ReadsTheSpeedSectionWithItsBuffer) {
    CTempFolder temp;
    const std::string path = temp.m_strPath + "/VELO.INI";
    EXPECT_EQ(ReadSpeedTuningText(path, "1.6", "66,14,12"), "66,14,12");
    WriteFile(path, "[INIT]\nFAST=0\n[SPEED]\n1.6 = 60, 10 ,8\n2.0=" + std::string(3000, '7'));
    EXPECT_EQ(ReadSpeedTuningText(path, "1.6", "66,14,12"), "60, 10 ,8");
    EXPECT_EQ(ReadSpeedTuningText(path, "1.8", "56,14,12"), "56,14,12");
    EXPECT_EQ(ReadSpeedTuningText(path, "FAST", "none"), "none");
    EXPECT_EQ(ReadSpeedTuningText(path, "2.0", ""), std::string(2047, '7'));
}

TEST(SpeedLimitsTest, AcceptsTheRangesBothEndsIncludedAndNothingElse) {
    for (double dGood : {0.05, 1.0, 50.0}) {
        EXPECT_TRUE(IsValidSpeedFactor(dGood)) << dGood;
    }
    for (double dBad : {std::nextafter(0.05, 0.0), std::nextafter(50.0, 99.0), 0.0, -1.0,
                        std::nan(""), kInf, -kInf}) {
        EXPECT_FALSE(IsValidSpeedFactor(dBad)) << dBad;
    }
    // Every position of the page's factor sliders, (position + 5) / 100, is accepted.
    const FactorLimits& f = kSpeedFactorLimits;
    const long nPositions = std::lround((f.dPageMax - f.dPageMin) / f.dPageStep);
    EXPECT_EQ(nPositions, 395);
    for (long nPos = 0; nPos <= nPositions; ++nPos) {
        EXPECT_TRUE(IsValidSpeedFactor((static_cast<double>(nPos) + 5) / 100)) << nPos;
    }
    EXPECT_TRUE(IsValidPitch(-60) && IsValidPitch(60));
    EXPECT_TRUE(IsValidPitch(kPitchLimits.nPageMin) && IsValidPitch(kPitchLimits.nPageMax));
    EXPECT_FALSE(IsValidPitch(-61) || IsValidPitch(61) || IsValidPitch(kMin) || IsValidPitch(kMax));
}

} // namespace
