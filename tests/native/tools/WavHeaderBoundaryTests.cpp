// The Windows job's WAV header at the edge of what a RIFF header can describe. The expected
// sizes are worked out by hand from the chunk layout, not from the writer's own formula:
//
//   "RIFF" size "WAVE"                 12 bytes
//   "JUNK" 28 + 28 bytes of room       36 bytes (becomes "ds64")
//   "fmt " size + format               8 + 16 (PCM), 8 + 18 (float), 8 + 40 (extensible)
//   "fact" 4 + frame count             12 bytes, for every format but plain PCM
//   "data" size                        8 bytes
//
// The RIFF size counts everything after its own field plus the data and its pad byte; its
// largest value is 0xFFFFFFFE, since 0xFFFFFFFF stands for "unknown".
#include "WavHeader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t Le32(const std::vector<uint8_t>& h, size_t at) {
    return uint32_t(h[at]) | uint32_t(h[at + 1]) << 8 | uint32_t(h[at + 2]) << 16 |
           uint32_t(h[at + 3]) << 24;
}

uint64_t Le64(const std::vector<uint8_t>& h, size_t at) {
    return uint64_t(Le32(h, at)) | uint64_t(Le32(h, at + 4)) << 32;
}

std::string Tag(const std::vector<uint8_t>& h, size_t at) {
    return std::string(h.begin() + static_cast<std::ptrdiff_t>(at),
                       h.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

std::vector<uint8_t> Header(const void* pFormat, size_t cbFormat, uint64_t cbData) {
    WavHeaderPlan plan;
    plan.cbData = cbData;
    std::vector<uint8_t> h;
    std::string error;
    EXPECT_TRUE(
        BuildWavHeader(static_cast<const WAVEFORMATEX*>(pFormat), cbFormat, plan, &h, &error))
        << error;
    return h;
}

// What the header says in either form.
struct Expected {
    size_t cbHeader;
    size_t offFactValue; // 0: no "fact" chunk
    size_t offDataSize;
    bool bRf64;
    uint64_t riff; // the true RIFF size (in "ds64" when RF64)
    uint64_t cbData;
    uint64_t frames;
};

void ExpectHeader(const std::vector<uint8_t>& h, const Expected& e) {
    ASSERT_EQ(h.size(), e.cbHeader);
    EXPECT_EQ(Tag(h, 8), "WAVE");
    EXPECT_EQ(Le32(h, 16), 28u);
    if (e.offFactValue) {
        EXPECT_EQ(Tag(h, e.offFactValue - 8), "fact");
    }
    EXPECT_EQ(Tag(h, e.offDataSize - 4), "data");
    if (!e.bRf64) {
        EXPECT_EQ(Tag(h, 0), "RIFF");
        EXPECT_EQ(Le32(h, 4), e.riff);
        EXPECT_EQ(Tag(h, 12), "JUNK");
        EXPECT_EQ(Le32(h, e.offDataSize), e.cbData);
        if (e.offFactValue) {
            EXPECT_EQ(Le32(h, e.offFactValue), e.frames);
        }
        for (size_t i = 20; i < 48; ++i) {
            EXPECT_EQ(h[i], 0) << "the room for ds64 is blank, byte " << i;
        }
        return;
    }
    EXPECT_EQ(Tag(h, 0), "RF64");
    EXPECT_EQ(Le32(h, 4), 0xFFFFFFFFu);
    EXPECT_EQ(Tag(h, 12), "ds64");
    EXPECT_EQ(Le64(h, 20), e.riff);
    EXPECT_EQ(Le64(h, 28), e.cbData);
    EXPECT_EQ(Le64(h, 36), e.frames);
    EXPECT_EQ(Le32(h, 44), 0u) << "no table of further sizes";
    EXPECT_EQ(Le32(h, e.offDataSize), 0xFFFFFFFFu);
    if (e.offFactValue) {
        EXPECT_EQ(Le32(h, e.offFactValue), 0xFFFFFFFFu);
    }
}

WAVEFORMATEX Format(WORD tag, WORD channels, WORD bits) {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = tag;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = 44100;
    wfx.wBitsPerSample = bits;
    wfx.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    wfx.nAvgBytesPerSec = 44100u * wfx.nBlockAlign;
    return wfx;
}

} // namespace

// 8-bit mono PCM, one byte a frame: an 80-byte header, RIFF size 72 + data + pad.
// 0xFFFFFFB6 + 72 = 0xFFFFFFFE, the last plain size; an odd 0xFFFFFFB5 pads up to the same.
TEST(WavHeaderBoundary, PlainPcmSwitchesToRf64OneByteAfterTheLastRiffSize) {
    const WAVEFORMATEX pcm = Format(WAVE_FORMAT_PCM, 1, 8);
    EXPECT_FALSE(WavNeedsRf64(80, 0xFFFFFFB5u));
    EXPECT_FALSE(WavNeedsRf64(80, 0xFFFFFFB6u));
    EXPECT_TRUE(WavNeedsRf64(80, 0xFFFFFFB7u));
    // Headers here are even, so a RIFF size of exactly 0xFFFFFFFF ("unknown") takes an odd one.
    EXPECT_FALSE(WavNeedsRf64(81, 0xFFFFFFB4u)); // 0xFFFFFFFD
    EXPECT_TRUE(WavNeedsRf64(81, 0xFFFFFFB6u));  // 0xFFFFFFFF
    ExpectHeader(Header(&pcm, 16, 0xFFFFFFB5u),
                 {80, 0, 76, false, 0xFFFFFFFEu, 0xFFFFFFB5u, 0xFFFFFFB5u});
    ExpectHeader(Header(&pcm, 16, 0xFFFFFFB6u),
                 {80, 0, 76, false, 0xFFFFFFFEu, 0xFFFFFFB6u, 0xFFFFFFB6u});
    ExpectHeader(Header(&pcm, 16, 0xFFFFFFB7u),
                 {80, 0, 76, true, 0x100000000u, 0xFFFFFFB7u, 0xFFFFFFB7u});
}

// Stereo float, 8 bytes a frame: a 94-byte header (18-byte format, "fact"), RIFF size
// 86 + data. 536870901 frames = 0xFFFFFFA8 bytes make exactly 0xFFFFFFFE; one frame more is RF64.
TEST(WavHeaderBoundary, FloatSwitchesToRf64OneFrameAfterTheLastRiffSize) {
    const WAVEFORMATEX flt = Format(WAVE_FORMAT_IEEE_FLOAT, 2, 32);
    ExpectHeader(Header(&flt, sizeof flt, 536870901ull * 8),
                 {94, 82, 90, false, 0xFFFFFFFEu, 0xFFFFFFA8u, 536870901u});
    ExpectHeader(Header(&flt, sizeof flt, 536870902ull * 8),
                 {94, 82, 90, true, 0x100000006u, 0xFFFFFFB0u, 536870902u});
}

// 5.1 16-bit extensible, 12 bytes a frame: a 116-byte header (40-byte format), RIFF size
// 108 + data. 357913932 frames (0xFFFFFF90 bytes) are the most a plain header takes; the
// speaker mask and the sub-format come through in either form.
TEST(WavHeaderBoundary, ExtensibleKeepsItsSpeakerMaskOnEitherSide) {
    for (const uint32_t mask : {0x3Fu, 0x60Fu}) {
        WAVEFORMATEXTENSIBLE wfxe{};
        wfxe.Format = Format(WAVE_FORMAT_EXTENSIBLE, 6, 16);
        wfxe.Format.cbSize = 22;
        wfxe.Samples.wValidBitsPerSample = 16;
        wfxe.dwChannelMask = mask;
        wfxe.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        const auto plain = Header(&wfxe, sizeof wfxe, 357913932ull * 12);
        ExpectHeader(plain, {116, 104, 112, false, 0xFFFFFFFCu, 0xFFFFFF90u, 357913932u});
        const auto rf64 = Header(&wfxe, sizeof wfxe, 357913933ull * 12);
        ExpectHeader(rf64, {116, 104, 112, true, 0x100000008u, 0xFFFFFF9Cu, 357913933u});
        for (const auto* h : {&plain, &rf64}) {
            ASSERT_EQ(h->size(), 116u);
            EXPECT_EQ(Tag(*h, 48), "fmt ");
            EXPECT_EQ(Le32(*h, 52), 40u);
            EXPECT_EQ(Le32(*h, 56) & 0xFFFF, 0xFFFEu);
            EXPECT_EQ(Le32(*h, 72) & 0xFFFF, 22u) << "cbSize";
            EXPECT_EQ(Le32(*h, 76), mask) << "dwChannelMask";
            EXPECT_EQ(std::memcmp(h->data() + 80, &KSDATAFORMAT_SUBTYPE_PCM, 16), 0);
        }
    }
}
