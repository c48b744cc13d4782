#include "SampleConvert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const SampleConverter& Converter(uint16_t bits, bool isFloat = false) {
    const SampleConverter* c = FindSampleConverter(bits, isFloat);
    EXPECT_NE(c, nullptr);
    return *c;
}

float ToFloat(const SampleConverter& c, std::vector<uint8_t> bytes) {
    float f = 0.0f;
    c.toFloat(bytes.data(), &f, 1);
    return f;
}

std::vector<uint8_t> FromFloat(const SampleConverter& c, float x) {
    std::vector<uint8_t> bytes(static_cast<size_t>(c.bytesPerSample));
    c.fromFloat(&x, bytes.data(), 1);
    return bytes;
}

int32_t FromFloatInt(const SampleConverter& c, float x) {
    const std::vector<uint8_t> b = FromFloat(c, x);
    uint32_t u = 0;
    for (size_t i = 0; i < b.size(); ++i) {
        u |= static_cast<uint32_t>(b[i]) << (8 * i);
    }
    const int shift = 32 - 8 * static_cast<int>(b.size()); // sign-extend
    return static_cast<int32_t>(u << shift) >> shift;
}

TEST(SampleConvert, OnlyKnownWidthsHaveConverters) {
    for (uint16_t bits : {0, 4, 12, 20, 64}) {
        EXPECT_EQ(FindSampleConverter(bits, false), nullptr) << bits;
    }
    for (uint16_t bits : {8, 16, 24, 64}) {
        EXPECT_EQ(FindSampleConverter(bits, true), nullptr) << bits;
    }
    EXPECT_EQ(Converter(8).bytesPerSample, 1);
    EXPECT_EQ(Converter(16).bytesPerSample, 2);
    EXPECT_EQ(Converter(24).bytesPerSample, 3);
    EXPECT_EQ(Converter(32).bytesPerSample, 4);
    EXPECT_EQ(Converter(32, true).bytesPerSample, 4);
}

TEST(SampleConvert, EightBitIsUnsignedAround128) {
    const SampleConverter& c = Converter(8);
    EXPECT_EQ(ToFloat(c, {128}), 0.0f);
    EXPECT_EQ(ToFloat(c, {255}), 0.9921875f);
    EXPECT_EQ(ToFloat(c, {0}), -1.0f);
    EXPECT_EQ(FromFloat(c, 0.0f)[0], 128);
    EXPECT_EQ(FromFloat(c, 1.0f)[0], 255);
    EXPECT_EQ(FromFloat(c, -1.0f)[0], 0);
    EXPECT_EQ(FromFloat(c, std::nanf(""))[0], 128);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(FromFloat(c, ToFloat(c, {static_cast<uint8_t>(b)}))[0], b);
    }
}

TEST(SampleConvert, SixteenBitTruncatesAndClamps) {
    const SampleConverter& c = Converter(16);
    EXPECT_EQ(ToFloat(c, {0x01, 0x80}), -32767.0f / 32768.0f); // little-endian
    EXPECT_EQ(FromFloatInt(c, 1.0f), 32767);
    EXPECT_EQ(FromFloatInt(c, 1.5f), 32767);
    EXPECT_EQ(FromFloatInt(c, -1.0f), -32768);
    EXPECT_EQ(FromFloatInt(c, -7.0f), -32768);
    EXPECT_EQ(FromFloatInt(c, 0.99999f), 32767);
    EXPECT_EQ(FromFloatInt(c, -0.00001f), 0);
    EXPECT_EQ(FromFloatInt(c, std::numeric_limits<float>::infinity()), 32767);
    EXPECT_EQ(FromFloatInt(c, std::nanf("")), 0);
    for (int32_t v = -32768; v <= 32767; ++v) {
        const auto u = static_cast<uint16_t>(v);
        ASSERT_EQ(
            FromFloatInt(c, ToFloat(c, {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)})),
            v);
    }
}

TEST(SampleConvert, TwentyFourBitIsExact) {
    const SampleConverter& c = Converter(24);
    EXPECT_EQ(ToFloat(c, {0x00, 0x00, 0x80}), -1.0f);
    EXPECT_EQ(ToFloat(c, {0xFF, 0xFF, 0x7F}), 8388607.0f / 8388608.0f);
    EXPECT_EQ(FromFloatInt(c, 1.0f), 8388607);
    EXPECT_EQ(FromFloatInt(c, -1.0f), -8388608);
    EXPECT_EQ(FromFloatInt(c, -2.0f), -8388608);
    EXPECT_EQ(FromFloatInt(c, -0.5f), -4194304);
    EXPECT_EQ(FromFloatInt(c, -1e-7f), 0);
    std::vector<uint8_t> all(3u << 24);
    for (uint32_t v = 0; v < (1u << 24); ++v) {
        all[3 * v] = static_cast<uint8_t>(v);
        all[3 * v + 1] = static_cast<uint8_t>(v >> 8);
        all[3 * v + 2] = static_cast<uint8_t>(v >> 16);
    }
    std::vector<float> floats(1u << 24);
    std::vector<uint8_t> back(all.size());
    c.toFloat(all.data(), floats.data(), static_cast<int32_t>(floats.size()));
    c.fromFloat(floats.data(), back.data(), static_cast<int32_t>(floats.size()));
    EXPECT_TRUE(all == back);
}

TEST(SampleConvert, ThirtyTwoBitKeepsTwentyFourBitsOfPrecision) {
    const SampleConverter& c = Converter(32);
    EXPECT_EQ(ToFloat(c, {0x00, 0x00, 0x00, 0x80}), -1.0f);
    EXPECT_EQ(ToFloat(c, {0x00, 0x00, 0x00, 0x40}), 0.5f);
    EXPECT_EQ(FromFloatInt(c, 1.0f), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(FromFloatInt(c, -1.0f), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(FromFloatInt(c, -0.00001f), -21474); // -21474.8..., truncated toward zero
    EXPECT_EQ(FromFloatInt(c, std::nanf("")), 0);
    for (int64_t v = std::numeric_limits<int32_t>::min(); v <= std::numeric_limits<int32_t>::max();
         v += 65537) {
        const auto u = static_cast<uint32_t>(v);
        const float f = ToFloat(c, {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                                    static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)});
        const int64_t back = FromFloatInt(c, f);
        ASSERT_LE(std::llabs(back - v), 128) << v;
        if (v % 256 == 0) {
            ASSERT_EQ(back, v);
        }
    }
}

TEST(SampleConvert, FloatPassesThroughBitForBit) {
    const SampleConverter& c = Converter(32, true);
    const float values[] = {
        0.0f, -0.0f, 1.5f, -3.25f, 1e-30f, std::nanf(""), std::numeric_limits<float>::infinity()};
    std::vector<uint8_t> bytes(sizeof values);
    float back[std::size(values)];
    c.fromFloat(values, bytes.data(), static_cast<int32_t>(std::size(values)));
    c.toFloat(bytes.data(), back, static_cast<int32_t>(std::size(values)));
    EXPECT_EQ(std::memcmp(values, bytes.data(), sizeof values), 0);
    EXPECT_EQ(std::memcmp(values, back, sizeof values), 0);
}

} // namespace
