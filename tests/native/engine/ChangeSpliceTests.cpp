#include "ChangeSplice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

// Deterministic white noise in [-1, 1).
std::vector<float> Noise(size_t n, uint32_t seed) {
    std::vector<float> v(n);
    for (float& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<float>(seed >> 8) / float(1 << 23) - 1.0f;
    }
    return v;
}

TEST(ChangeSplice, FindsThePlantedOffset) {
    for (int32_t channels : {1, 2}) {
        const std::vector<float> cand = Noise(2000 * size_t(channels), 11);
        for (int32_t k : {0, 17, 613, 1744}) {
            std::vector<float> ref(cand.begin() + k * channels,
                                   cand.begin() + (k + 256) * channels);
            EXPECT_EQ(FindSpliceOffset(ref.data(), 256, cand.data(), 2000, channels, 1000), k)
                << channels << " channels";
            // A copy passes any bar short of 1; unrelated audio passes none.
            EXPECT_EQ(FindSpliceOffset(ref.data(), 256, cand.data(), 2000, channels, 1000, 0.99),
                      k);
            const std::vector<float> other = Noise(2000 * size_t(channels), 12);
            EXPECT_EQ(FindSpliceOffset(ref.data(), 256, other.data(), 2000, channels, 1000, 0.5),
                      1000);
            // The match is normalised: louder audio around the window does not match better.
            std::vector<float> loud = cand;
            for (size_t i = 0; i < loud.size(); ++i)
                if (i < size_t(k * channels) || i >= size_t((k + 256) * channels))
                    loud[i] *= 16.0f;
            EXPECT_EQ(FindSpliceOffset(ref.data(), 256, loud.data(), 2000, channels, 1000), k)
                << channels << " channels, loud";
        }
    }
}

TEST(ChangeSplice, PrefersThePreferredOffsetOnSilenceTiesAndMisfits) {
    const std::vector<float> noise = Noise(1000, 3), silence(1000, 0.0f);
    EXPECT_EQ(FindSpliceOffset(silence.data(), 200, noise.data(), 1000, 1, 123), 123);
    EXPECT_EQ(FindSpliceOffset(noise.data(), 200, silence.data(), 1000, 1, 123), 123);
    EXPECT_EQ(FindSpliceOffset(noise.data(), 200, noise.data(), 199, 1, 123), 123);
    EXPECT_EQ(FindSpliceOffset(noise.data(), 0, noise.data(), 1000, 1, 123), 123);
    EXPECT_EQ(FindSpliceOffset(noise.data(), 200, noise.data(), 1000, 0, 123), 123);
    // A signal of period 100 matches its window at 30, 130, ..., 730 equally well.
    std::vector<float> periodic(1000);
    for (size_t i = 0; i < periodic.size(); ++i)
        periodic[i] = noise[i % 100];
    const float* ref = periodic.data() + 30;
    const std::pair<int32_t, int32_t> nearest[] = {
        {420, 430}, {0, 30}, {130, 130}, {5000, 730}, {-50, 30}};
    for (const auto& [preferred, want] : nearest)
        EXPECT_EQ(FindSpliceOffset(ref, 200, periodic.data(), 1000, 1, preferred), want)
            << preferred;
}

TEST(ChangeSplice, CrossfadeWeighsFrameIByIPlusOneOverFramesPlusOne) {
    const std::vector<float> zeros(7, 0.0f), ones(7, 1.0f);
    std::vector<float> out(7, -9.0f);
    Crossfade(zeros.data(), ones.data(), out.data(), 7, 1);
    EXPECT_EQ(out, (std::vector<float>{0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 0.875f}));
    // Stereo, and in place over either side.
    const std::vector<float> from{1, -1, 1, -1, 1, -1}, to{3, 1, 3, 1, 3, 1};
    const std::vector<float> want{1.5f, -0.5f, 2.0f, 0.0f, 2.5f, 0.5f};
    std::vector<float> a = from, b = to;
    Crossfade(a.data(), to.data(), a.data(), 3, 2);
    Crossfade(from.data(), b.data(), b.data(), 3, 2);
    EXPECT_EQ(a, want);
    EXPECT_EQ(b, want);
}

} // namespace

// Turns of a 216-frame input: backwards from frame 215, then forwards from frame 0, and so on;
// a run ends with its turn or its limit.
TEST(ChangeSplice, MirroredRunsFollowTheTurns) {
    const auto expect = [](int64_t position, int32_t limit, int32_t first, int32_t count,
                           bool backwards) {
        const MirrorRun run = MirroredRun(position, 216, limit);
        EXPECT_EQ(run.first, first) << position << " " << limit;
        EXPECT_EQ(run.count, count) << position << " " << limit;
        EXPECT_EQ(run.backwards, backwards) << position << " " << limit;
    };
    expect(0, 1024, 0, 216, true);
    expect(0, 10, 206, 10, true);
    expect(10, 1000, 0, 206, true);
    expect(216, 1024, 0, 216, false);
    expect(300, 10, 84, 10, false);
    expect(431, 5, 215, 1, false);
    expect(864, 160, 56, 160, true); // the fifth turn, backwards again
    expect(1024, 488, 0, 56, true);
    expect(int64_t{216} * 1000001, 7, 0, 7, false); // far beyond 32 bits of frames
}

// The turns written out: input frame f of channel c is 10 f + c; each run is converted once, and
// a backwards one reversed frame by frame (its channels kept in order).
TEST(ChangeSplice, FillMirroredWritesTheTurnsFrameByFrame) {
    const auto fill = [](int64_t position, int32_t count) {
        std::vector<float> out(static_cast<size_t>(count) * 2, -1.0f);
        std::vector<std::pair<int32_t, int32_t>> runs;
        FillMirrored(position, 5, count, 2, out.data(), [&](int32_t first, int32_t n, float* to) {
            runs.emplace_back(first, n);
            for (int32_t f = 0; f < n; ++f) {
                to[2 * f] = static_cast<float>(10 * (first + f));
                to[2 * f + 1] = static_cast<float>(10 * (first + f) + 1);
            }
        });
        std::vector<int32_t> frames;
        for (size_t i = 0; i < out.size(); i += 2) {
            EXPECT_EQ(out[i + 1], out[i] + 1.0f) << i;
            frames.push_back(static_cast<int32_t>(out[i]) / 10);
        }
        return std::make_pair(frames, runs);
    };
    using Frames = std::vector<int32_t>;
    using Runs = std::vector<std::pair<int32_t, int32_t>>;
    // From within the first (backwards) turn across the second into the third.
    auto got = fill(3, 9);
    EXPECT_EQ(got.first, (Frames{1, 0, 0, 1, 2, 3, 4, 4, 3}));
    EXPECT_EQ(got.second, (Runs{{0, 2}, {0, 5}, {3, 2}}));
    // A whole backwards turn, and a piece of a forwards one from its middle.
    got = fill(0, 5);
    EXPECT_EQ(got.first, (Frames{4, 3, 2, 1, 0}));
    got = fill(7, 2);
    EXPECT_EQ(got.first, (Frames{2, 3}));
    EXPECT_EQ(got.second, (Runs{{2, 2}}));
    got = fill(int64_t{5} * 3000000001, 3); // an odd turn far beyond 32 bits: forwards
    EXPECT_EQ(got.first, (Frames{0, 1, 2}));
    EXPECT_TRUE(fill(4, 0).first.empty());
}

// Fed turn by turn in pieces of at most 1024 frames, up to the end of the piece the budget ends
// in.
TEST(ChangeSplice, MirrorLengthEndsWithThePieceTheBudgetEndsIn) {
    EXPECT_EQ(MirrorLength(1390, 216, 1024), 1512); // 6 turns and the 7th whole
    EXPECT_EQ(MirrorLength(1296, 216, 1024), 1296); // exactly 6 turns
    EXPECT_EQ(MirrorLength(1, 5000, 1024), 1024);
    EXPECT_EQ(MirrorLength(1024, 5000, 1024), 1024);
    EXPECT_EQ(MirrorLength(1025, 5000, 1024), 2048);
    EXPECT_EQ(MirrorLength(4999, 5000, 1024), 5000); // the turn's last piece is short
    EXPECT_EQ(MirrorLength(5001, 5000, 1024), 6024);
    EXPECT_EQ(MirrorLength(int64_t{3} << 33, 1, 1024), int64_t{3} << 33);
    EXPECT_EQ(MirrorLength(0, 216, 1024), 0);
    EXPECT_EQ(MirrorLength(-5, 216, 1024), 0);
    EXPECT_EQ(MirrorLength(100, 0, 1024), 0);
}
