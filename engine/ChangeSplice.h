// Joining two renderings of the same audio where a stretch ends: the engine's last output and the
// plain input (or a fresh engine's input) that follows it. The join point is where the two
// match best, and the two are crossfaded there, as the engine's own splices are: a hard cut
// between unrelated samples is a click. Plain functions on interleaved float frames.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

// The offset d in [0, candFrames - refFrames] at which cand[d ..] matches ref best (largest
// normalised cross-correlation of the channels' sum); preferred when nothing matches better
// (silence), when no offset matches at least minScore (1 is a copy), or the window does not
// fit. refFrames > 0.
int32_t FindSpliceOffset(const float* ref, int32_t refFrames, const float* cand, int32_t candFrames,
                         int32_t channels, int32_t preferred, double minScore = -1.0);

// out = from faded out and to faded in over frames (linear, neither end a plain copy of one
// side: frame i weighs to by (i + 1) / (frames + 1)). out may be from or to.
void Crossfade(const float* from, const float* to, float* out, int32_t frames, int32_t channels);

// An input too short to fill the engine where a stretch ends is mirrored after itself in turns of
// its frames: the first backwards from its last frame, the next forwards from its first, and so
// on. The run of input frames at position `position` of the turns, at most `limit` frames long and
// within its turn: frames [first, first + count), fed in reverse when backwards. frames > 0,
// position >= 0, limit > 0.
struct MirrorRun {
    int32_t first;
    int32_t count;
    bool backwards;
};
MirrorRun MirroredRun(int64_t position, int32_t frames, int32_t limit);

// Frames of the turns fed for budget frames when each turn goes to the engine in pieces of at
// most chunk frames, stopping at the end of the piece in which the budget is spent.
int64_t MirrorLength(int64_t budget, int32_t frames, int32_t chunk);

// Writes count frames of the turns from position on to out (interleaved, channels wide), each run
// of input frames made by convert(first, n, to), which writes frames [first, first + n) of the
// input as floats at to; a backwards run is then reversed in place. frames > 0, count >= 0.
template <class Convert>
void FillMirrored(int64_t position, int32_t frames, int32_t count, int32_t channels, float* out,
                  Convert convert) {
    const auto width = static_cast<size_t>(channels);
    for (int32_t i = 0; i < count;) {
        const MirrorRun run = MirroredRun(position + i, frames, count - i);
        float* const to = out + static_cast<size_t>(i) * width;
        convert(run.first, run.count, to);
        if (run.backwards) {
            for (int32_t a = 0, b = run.count - 1; a < b; ++a, --b) {
                std::swap_ranges(to + static_cast<size_t>(a) * width,
                                 to + static_cast<size_t>(a + 1) * width,
                                 to + static_cast<size_t>(b) * width);
            }
        }
        i += run.count;
    }
}
