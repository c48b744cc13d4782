#include "ChangeSplice.h"

#include <cmath>

int32_t FindSpliceOffset(const float* ref, int32_t refFrames, const float* cand, int32_t candFrames,
                         int32_t channels, int32_t preferred) {
    if (refFrames <= 0 || candFrames < refFrames || channels <= 0)
        return preferred;
    auto mono = [channels](const float* frames, int32_t i) {
        double sum = 0;
        for (int32_t c = 0; c < channels; ++c)
            sum += static_cast<double>(frames[static_cast<int64_t>(i) * channels + c]);
        return sum;
    };
    double refEnergy = 0;
    for (int32_t i = 0; i < refFrames; ++i)
        refEnergy += mono(ref, i) * mono(ref, i);
    if (refEnergy <= 0)
        return preferred;
    int32_t best = preferred;
    double bestScore = -2.0;
    const int32_t last = candFrames - refFrames;
    for (int32_t d = 0; d <= last; ++d) {
        double dot = 0, energy = 0;
        for (int32_t i = 0; i < refFrames; ++i) {
            const double x = mono(cand, d + i);
            dot += mono(ref, i) * x;
            energy += x * x;
        }
        if (energy <= 0)
            continue;
        const double score = dot / std::sqrt(refEnergy * energy);
        // Ties go to the offset nearest the preferred one.
        const bool nearer = std::abs(d - preferred) < std::abs(best - preferred);
        if (score > bestScore + 1e-9 || (score > bestScore - 1e-9 && nearer)) {
            bestScore = score;
            best = d;
        }
    }
    return best;
}

void Crossfade(const float* from, const float* to, float* out, int32_t frames, int32_t channels) {
    for (int32_t i = 0; i < frames; ++i) {
        const float w = static_cast<float>(i + 1) / static_cast<float>(frames + 1);
        for (int32_t c = 0; c < channels; ++c) {
            const int64_t k = static_cast<int64_t>(i) * channels + c;
            out[k] = from[k] + (to[k] - from[k]) * w;
        }
    }
}
