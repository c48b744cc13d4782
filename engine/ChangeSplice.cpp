#include "ChangeSplice.h"

#include <algorithm>
#include <cmath>
#include <vector>

int32_t FindSpliceOffset(const float* ref, int32_t refFrames, const float* cand, int32_t candFrames,
                         int32_t channels, int32_t preferred, double minScore) {
    if (refFrames <= 0 || candFrames < refFrames || channels <= 0)
        return preferred;
    // The channels' sums, once: the search reads every candidate frame refFrames times.
    std::vector<double> mono;
    try {
        mono.resize(static_cast<size_t>(refFrames) + static_cast<size_t>(candFrames));
    } catch (...) {
        return preferred;
    }
    auto sum = [channels](const float* frames, int32_t i) {
        double total = 0;
        for (int32_t c = 0; c < channels; ++c)
            total += static_cast<double>(frames[static_cast<int64_t>(i) * channels + c]);
        return total;
    };
    double* const r = mono.data();
    double* const x = r + refFrames;
    double refEnergy = 0;
    for (int32_t i = 0; i < refFrames; ++i) {
        r[i] = sum(ref, i);
        refEnergy += r[i] * r[i];
    }
    for (int32_t i = 0; i < candFrames; ++i)
        x[i] = sum(cand, i);
    if (refEnergy <= 0)
        return preferred;
    // Energy of each candidate window, slid along.
    double energy = 0;
    for (int32_t i = 0; i < refFrames; ++i)
        energy += x[i] * x[i];
    constexpr double kTie = 1e-4;
    int32_t best = preferred;
    double bestScore = -2.0;
    const int32_t last = candFrames - refFrames;
    for (int32_t d = 0; d <= last; ++d) {
        if (d > 0)
            energy += x[d + refFrames - 1] * x[d + refFrames - 1] - x[d - 1] * x[d - 1];
        if (energy <= 1e-12 * refEnergy)
            continue;
        double dot = 0;
        for (int32_t i = 0; i < refFrames; ++i)
            dot += r[i] * x[d + i];
        const double score = dot / std::sqrt(refEnergy * energy);
        // Ties go to the offset nearest the preferred one: a slowed-down output holds the same
        // input twice (its sequences overlap), and both copies match it exactly.
        const bool nearer = std::abs(d - preferred) < std::abs(best - preferred);
        if (score > bestScore + kTie || (score > bestScore - kTie && nearer)) {
            bestScore = score;
            best = d;
        }
    }
    return bestScore >= minScore ? best : preferred;
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

MirrorRun MirroredRun(int64_t position, int32_t frames, int32_t limit) {
    const int64_t turn = position / frames;
    const auto offset = static_cast<int32_t>(position - turn * frames);
    const int32_t count = std::min(limit, frames - offset);
    const bool backwards = turn % 2 == 0;
    return {backwards ? frames - offset - count : offset, count, backwards};
}

int64_t MirrorLength(int64_t budget, int32_t frames, int32_t chunk) {
    if (budget <= 0 || frames <= 0 || chunk <= 0)
        return 0;
    const int64_t turns = budget / frames;
    const int64_t rest = budget - turns * frames;
    const int64_t pieces = (rest + chunk - 1) / chunk;
    return turns * frames + std::min<int64_t>(pieces * chunk, frames);
}
