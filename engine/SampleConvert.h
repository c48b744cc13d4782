#pragma once

#include <cstdint>

// Conversions between interleaved little-endian PCM bytes and the float samples the time-stretch
// engine works on (full scale is -1.0 .. +1.0).
//
// One converter exists per sample kind and width; the speed processor looks its converter up once
// when it is configured and then calls it once per block, never per sample.
//
//   width       to float                          from float (x)
//   8-bit  u    (b - 128) * 256, then / 32768      16-bit value v as below, then (v >> 8) + 128
//   16-bit s    v / 32768                          x * 32768, truncated, clamped to -32768..32767
//   24-bit s    v / 8388608                        x * 8388608, truncated, clamped to -2^23..2^23-1
//   32-bit s    v / 2147483648 (in double)         x * 2147483648 (in double), truncated, clamped
//   32-bit f    unchanged                          unchanged
//
// "Truncated" is toward zero, so 0.99999 becomes 32767 and -0.00001 becomes 0 at 16 bits. A NaN
// becomes 0 (128 at 8 bits) on the integer paths; the float path passes every value through.
struct SampleConverter {
    uint16_t bitsPerSample;
    bool floatSamples;
    int32_t bytesPerSample;
    // count samples (not frames) from src to dst; count >= 0, buffers do not overlap.
    void (*toFloat)(const uint8_t* src, float* dst, int32_t count);
    void (*fromFloat)(const float* src, uint8_t* dst, int32_t count);
};

// The converter for the width, or nullptr when the width has none: integer PCM of 8, 16, 24 or
// 32 bits, IEEE float of 32 bits only.
const SampleConverter* FindSampleConverter(uint16_t bitsPerSample, bool floatSamples);
