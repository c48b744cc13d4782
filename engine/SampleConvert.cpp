#include "SampleConvert.h"

#include <cmath>
#include <cstring>

namespace {

constexpr float kInv15 = 3.0517578125e-05f; // 1 / 32768
constexpr float kInv23 = 1.0f / 8388608.0f;

// x * scale truncated toward zero and clamped to lo..hi; NaN gives 0.
int32_t TruncateClamp(float x, double scale, double lo, double hi) {
    const double d = static_cast<double>(x) * scale;
    if (std::isnan(d)) {
        return 0;
    }
    if (d >= hi) {
        return static_cast<int32_t>(hi);
    }
    if (d <= lo) {
        return static_cast<int32_t>(lo);
    }
    return static_cast<int32_t>(d);
}

// The 16-bit case in float arithmetic, without branches, so the loops vectorise: scaling by a
// power of two is exact in float, so this equals the double computation above.
inline int32_t To16(float x) {
    float d = x * 32768.0f;
    d = d != d ? 0.0f : d; // NaN
    d = d < -32768.0f ? -32768.0f : (d > 32767.0f ? 32767.0f : d);
    return static_cast<int32_t>(d);
}

void U8ToFloat(const uint8_t* src, float* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        dst[i] = static_cast<float>((src[i] - 128) * 256) * kInv15;
    }
}

void FloatToU8(const float* src, uint8_t* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        dst[i] = static_cast<uint8_t>((To16(src[i]) >> 8) + 128);
    }
}

// The 16-bit stream is little-endian, as the machine is: whole samples are copied, which lets
// the loops vectorise.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit samples are read as native");

void S16ToFloat(const uint8_t* src, float* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        int16_t v;
        std::memcpy(&v, src + 2 * i, sizeof v);
        dst[i] = static_cast<float>(v) * kInv15;
    }
}

void FloatToS16(const float* src, uint8_t* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const auto v = static_cast<int16_t>(To16(src[i]));
        std::memcpy(dst + 2 * i, &v, sizeof v);
    }
}

void S24ToFloat(const uint8_t* src, float* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i, src += 3) {
        int32_t v = src[0] | (src[1] << 8) | (src[2] << 16);
        v -= (v & 0x800000) << 1; // sign-extend bit 23
        dst[i] = static_cast<float>(v) * kInv23;
    }
}

void FloatToS24(const float* src, uint8_t* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i, dst += 3) {
        const auto u =
            static_cast<uint32_t>(TruncateClamp(src[i], 8388608.0, -8388608.0, 8388607.0));
        dst[0] = static_cast<uint8_t>(u);
        dst[1] = static_cast<uint8_t>(u >> 8);
        dst[2] = static_cast<uint8_t>(u >> 16);
    }
}

void S32ToFloat(const uint8_t* src, float* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i, src += 4) {
        const uint32_t u =
            src[0] | (src[1] << 8) | (src[2] << 16) | (static_cast<uint32_t>(src[3]) << 24);
        dst[i] = static_cast<float>(static_cast<double>(static_cast<int32_t>(u)) / 2147483648.0);
    }
}

void FloatToS32(const float* src, uint8_t* dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i, dst += 4) {
        const auto u =
            static_cast<uint32_t>(TruncateClamp(src[i], 2147483648.0, -2147483648.0, 2147483647.0));
        dst[0] = static_cast<uint8_t>(u);
        dst[1] = static_cast<uint8_t>(u >> 8);
        dst[2] = static_cast<uint8_t>(u >> 16);
        dst[3] = static_cast<uint8_t>(u >> 24);
    }
}

// The host is little-endian (x86 Windows and Linux), as the stream's float samples are.
void F32ToFloat(const uint8_t* src, float* dst, int32_t count) {
    std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(float));
}

void FloatToF32(const float* src, uint8_t* dst, int32_t count) {
    std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(float));
}

const SampleConverter kConverters[] = {
    {8, false, 1, U8ToFloat, FloatToU8},    {16, false, 2, S16ToFloat, FloatToS16},
    {24, false, 3, S24ToFloat, FloatToS24}, {32, false, 4, S32ToFloat, FloatToS32},
    {32, true, 4, F32ToFloat, FloatToF32},
};

} // namespace

const SampleConverter* FindSampleConverter(uint16_t bitsPerSample, bool floatSamples) {
    for (const SampleConverter& c : kConverters) {
        if (c.bitsPerSample == bitsPerSample && c.floatSamples == floatSamples) {
            return &c;
        }
    }
    return nullptr;
}
