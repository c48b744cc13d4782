#include "Listening.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace listening {

namespace {

constexpr double kPi = 3.14159265358979323846;

// The largest positive value of a sample type, the scale Encode and DecodeChannel share.
double FullScale(SampleType type) {
    switch (type) {
    case SampleType::U8:
        return 127.0;
    case SampleType::S16:
        return 32767.0;
    case SampleType::S24:
        return 8388607.0;
    case SampleType::S32:
        return 2147483647.0;
    case SampleType::F32:
        break;
    }
    return 1.0;
}

// Where between samples i and i + 1 the wave crosses zero, as a fraction: the cubic through the
// samples i - 1 .. i + 2, solved by Newton from the line through the two samples.
double CubicCrossing(const std::vector<double>& wave, size_t i) {
    const double y1 = wave[i], y2 = wave[i + 1];
    double u = y1 / (y1 - y2);
    if (i < 1 || i + 2 >= wave.size())
        return u;
    const double y0 = wave[i - 1], y3 = wave[i + 2];
    const double a = (-y0 + 3 * y1 - 3 * y2 + y3) / 6;
    const double b = (y0 - 2 * y1 + y2) / 2;
    const double c = (-2 * y0 - 3 * y1 + 6 * y2 - y3) / 6;
    for (int it = 0; it < 8; ++it) {
        const double d = (3 * a * u + 2 * b) * u + c;
        if (d == 0)
            break;
        const double step = (((a * u + b) * u + c) * u + y1) / d;
        u = std::clamp(u - step, 0.0, 1.0);
        if (std::fabs(step) < 1e-12)
            break;
    }
    return u;
}

// The same for a sinusoid of w radians per sample: a cos(w n) + b sin(w n) fitted to the six
// samples around the crossing by least squares, and its zero. Exact for a tone at any number of
// samples per cycle, where a cubic errs by a few thousandths of a sample at six.
double ToneCrossing(const std::vector<double>& wave, size_t i, double w, double guess) {
    if (i < 2 || i + 3 >= wave.size() || !(w > 0) || w >= kPi)
        return guess;
    double cc = 0, cs = 0, ss = 0, yc = 0, ys = 0;
    for (size_t j = 0; j < 6; ++j) {
        const double m = double(j) - 2;
        const double c = std::cos(w * m), s = std::sin(w * m), y = wave[i - 2 + j];
        cc += c * c;
        cs += c * s;
        ss += s * s;
        yc += y * c;
        ys += y * s;
    }
    const double det = cc * ss - cs * cs;
    if (det == 0)
        return guess;
    const double a = (yc * ss - ys * cs) / det;
    const double b = (ys * cc - yc * cs) / det;
    // a cos(w u) + b sin(w u) = 0: w u = atan2(-a, b) + k pi; the k nearest the guess.
    const double base = std::atan2(-a, b) / w;
    const double period = kPi / w;
    const double u = base + std::round((guess - base) / period) * period;
    return std::fabs(u - guess) < 0.5 ? u : guess;
}

} // namespace

int Format::BytesPerSample() const {
    switch (type) {
    case SampleType::U8:
        return 1;
    case SampleType::S16:
        return 2;
    case SampleType::S24:
        return 3;
    case SampleType::S32:
    case SampleType::F32:
        break;
    }
    return 4;
}

std::string Format::Name() const {
    static const char* const names[] = {"u8", "s16", "s24", "s32", "f32"};
    return std::string(names[static_cast<int>(type)]) + " " + std::to_string(channels) + "ch " +
           std::to_string(rate) + " Hz";
}

Chirp ChirpFor(int rate, double seconds) {
    if (rate >= 24000)
        return {1000, 3000, seconds};
    return {rate / 16.0, rate / 6.0, seconds};
}

std::vector<double> ChirpWave(const Chirp& chirp, int rate, size_t frames, double amplitude) {
    std::vector<double> wave(frames);
    for (size_t n = 0; n < frames; ++n) {
        const double cycles = chirp.CyclesAt(double(n) / rate);
        wave[n] = amplitude * std::sin(2 * kPi * (cycles - std::floor(cycles)));
    }
    return wave;
}

std::vector<double> ToneWave(double hz, int rate, size_t frames, double amplitude, double phase) {
    std::vector<double> wave(frames);
    for (size_t n = 0; n < frames; ++n) {
        const double cycles = hz * double(n) / rate + phase;
        wave[n] = amplitude * std::sin(2 * kPi * (cycles - std::floor(cycles)));
    }
    return wave;
}

std::vector<std::vector<double>> ClickTones(int rate, size_t frames) {
    return {ToneWave(441.5, rate, frames), ToneWave(441.5 * 1.5, rate, frames, 0.5, 0.25)};
}

std::vector<uint8_t> Encode(const std::vector<double>& wave, const Format& format) {
    return Encode(std::vector<std::vector<double>>{wave}, format);
}

std::vector<uint8_t> Encode(const std::vector<std::vector<double>>& waves, const Format& format) {
    const int width = format.BytesPerSample();
    const double scale = FullScale(format.type);
    const size_t frames = waves.empty() ? 0 : waves[0].size();
    std::vector<uint8_t> bytes(frames * size_t(format.BlockAlign()));
    uint8_t* dst = bytes.data();
    for (size_t n = 0; n < frames; ++n) {
        for (int c = 0; c < format.channels; ++c, dst += width) {
            const double v = waves[size_t(c) % waves.size()][n];
            uint8_t sample[4] = {};
            if (format.type == SampleType::F32) {
                const float f = static_cast<float>(v);
                std::memcpy(sample, &f, 4);
            } else {
                int64_t i = std::llround(std::clamp(v, -1.0, 1.0) * scale);
                if (format.type == SampleType::U8)
                    i += 128;
                for (int b = 0; b < width; ++b)
                    sample[b] = static_cast<uint8_t>(uint64_t(i) >> (8 * b));
            }
            std::memcpy(dst, sample, size_t(width));
        }
    }
    return bytes;
}

std::vector<double> DecodeChannel(const uint8_t* bytes, size_t count, const Format& format,
                                  int channel) {
    const size_t block = size_t(format.BlockAlign());
    const int width = format.BytesPerSample();
    const double scale = FullScale(format.type);
    std::vector<double> wave(block > 0 ? count / block : 0);
    for (size_t n = 0; n < wave.size(); ++n) {
        const uint8_t* src = bytes + n * block + size_t(channel) * size_t(width);
        if (format.type == SampleType::F32) {
            float f;
            std::memcpy(&f, src, 4);
            wave[n] = f;
        } else if (format.type == SampleType::U8) {
            wave[n] = (int(*src) - 128) / scale;
        } else {
            uint64_t u = 0;
            for (int b = 0; b < width; ++b)
                u |= uint64_t(src[b]) << (8 * b);
            const int shift = 64 - 8 * width;
            wave[n] = double(int64_t(u << shift) >> shift) / scale;
        }
    }
    return wave;
}

std::vector<double> ZeroCrossings(const std::vector<double>& wave, double threshold) {
    std::vector<double> out;
    std::vector<size_t> at;
    int side = 0;      // +1 or -1 once the wave has reached the threshold on that side
    size_t change = 0; // the latest i with wave[i] and wave[i + 1] of different signs
    bool bChange = false;
    for (size_t n = 0; n < wave.size(); ++n) {
        if (n > 0 && (wave[n - 1] >= 0) != (wave[n] >= 0)) {
            change = n - 1;
            bChange = true;
        }
        const int next = wave[n] >= threshold ? 1 : (wave[n] <= -threshold ? -1 : side);
        if (next == side)
            continue;
        if (side != 0 && bChange) {
            out.push_back(double(change) + CubicCrossing(wave, change));
            at.push_back(change);
        }
        side = next;
    }
    // Refined as a tone of the frequency the neighbouring crossings tell, and again with the
    // frequency the refined ones tell: an error in the frequency moves the zero too.
    std::vector<double> refined = out;
    for (int pass = 0; pass < 3; ++pass) {
        const std::vector<double> from = refined;
        for (size_t k = 0; k < from.size(); ++k) {
            const size_t lo = k > 1 ? k - 2 : 0, hi = std::min(k + 2, from.size() - 1);
            const double halfCycle = hi > lo ? (from[hi] - from[lo]) / double(hi - lo) : 0;
            const double guess = out[k] - double(at[k]);
            refined[k] =
                double(at[k]) +
                (halfCycle > 0 ? ToneCrossing(wave, at[k], kPi / halfCycle, guess) : guess);
        }
    }
    return refined;
}

std::vector<FrequencyPoint> FrequencyTrack(const std::vector<double>& crossings, int rate,
                                           double windowSeconds, double lowestHz) {
    std::vector<FrequencyPoint> track;
    const double window = windowSeconds * rate;
    const double gap = rate / lowestHz; // two half-cycles of the lowest frequency
    size_t begin = 0;
    for (size_t end = 1; end < crossings.size(); ++end) {
        if (crossings[end] - crossings[end - 1] > gap) {
            begin = end;
            continue;
        }
        while (crossings[end] - crossings[begin] > window)
            ++begin;
        const size_t n = end - begin + 1;
        if (n < 3)
            continue;
        // The half-cycle's length: the least-squares slope of the crossings' times over their
        // count, which weighs every crossing of the window, not only the first and the last.
        double mean = 0;
        for (size_t i = begin; i <= end; ++i)
            mean += crossings[i];
        mean /= double(n);
        const double mid = double(n - 1) / 2;
        double num = 0, den = 0;
        for (size_t i = begin; i <= end; ++i) {
            const double u = double(i - begin) - mid;
            num += u * (crossings[i] - mean);
            den += u * u;
        }
        track.push_back({mean / rate, double(rate) / (2 * num / den)});
    }
    return track;
}

namespace {

// The mean of the middle half of the values: as steady as a mean, as deaf to a few stray values
// as a median.
double CentralMean(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t first = v.size() / 4, last = v.size() - v.size() / 4;
    double sum = 0;
    for (size_t i = first; i < last; ++i)
        sum += v[i];
    return sum / double(last - first);
}

double Median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

} // namespace

std::vector<Run> PositionRuns(const std::vector<FrequencyPoint>& track, const Chirp& chirp,
                              const std::vector<double>& pitchFactors,
                              const PositionOptions& options) {
    std::vector<Run> runs;
    for (double factor : pitchFactors) {
        // A run's points keep x - P t within the tolerance of their mean; a point further off,
        // or after a hole in the track, begins the next.
        std::vector<double> offsets, times;
        double sum = 0;
        auto close = [&] {
            // Its ends, where a crossfade begins to pull the points away, are trimmed to the
            // points within a quarter of the tolerance of its line: the end of the run is then
            // where its sequence ends, not where the next one has grown loud enough.
            if (!offsets.empty()) {
                const double offset = Median(offsets);
                size_t a = 0, b = offsets.size();
                while (a < b && std::fabs(offsets[a] - offset) > options.tolerance / 4)
                    ++a;
                while (b > a && std::fabs(offsets[b - 1] - offset) > options.tolerance / 4)
                    --b;
                if (b > a && times[b - 1] - times[a] >= options.shortestRun)
                    runs.push_back({times[a], times[b - 1], factor, offset});
            }
            offsets.clear();
            times.clear();
            sum = 0;
        };
        for (const FrequencyPoint& p : track) {
            const double r = chirp.PositionOf(p.hz / factor) - factor * p.t;
            if (!offsets.empty() &&
                (p.t - times.back() > options.windowSeconds ||
                 std::fabs(r - sum / double(offsets.size())) > options.tolerance))
                close();
            offsets.push_back(r);
            times.push_back(p.t);
            sum += r;
        }
        close();
    }
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.tStart < b.tStart; });
    // Decoded at the wrong factor, a stretch of output makes no run, or a short one inside a
    // right one: keep the longer of runs that overlap. A run broken by one stray point goes on
    // with the same line after it: join the two.
    std::vector<Run> out;
    for (const Run& r : runs) {
        if (!out.empty() && r.tStart <= out.back().tEnd) {
            if (r.tEnd - r.tStart > out.back().tEnd - out.back().tStart)
                out.back() = r;
            continue;
        }
        if (!out.empty() && out.back().pitchFactor == r.pitchFactor &&
            r.tStart - out.back().tEnd <= options.windowSeconds &&
            std::fabs(r.offset - out.back().offset) <= options.tolerance) {
            out.back().tEnd = r.tEnd;
            continue;
        }
        out.push_back(r);
    }
    return out;
}

std::vector<Anchor> Anchors(const std::vector<Run>& runs, const PositionOptions& options) {
    std::vector<Anchor> anchors;
    const double half = options.windowSeconds / 2;
    for (size_t i = 0; i < runs.size(); ++i) {
        const Run& run = runs[i];
        const bool bSplice = i > 0 && run.tStart - runs[i - 1].tEnd <= options.longestSplice;
        const double t = bSplice ? runs[i - 1].tEnd + half : run.tStart - half;
        anchors.push_back({t, run.X(t)});
        if (run.tEnd - run.tStart > options.longestSequence) {
            const double end = run.tEnd + half;
            for (double u = t + 0.05; u < end; u += 0.05)
                anchors.push_back({u, run.X(u)});
            anchors.push_back({end, run.X(end), true});
        }
    }
    return anchors;
}

PositionOptions PositionOptionsFor(const Format& format) {
    PositionOptions options;
    const bool bCoarse = format.type == SampleType::U8;
    const bool bLowRate = format.rate < 24000;
    if (bCoarse || bLowRate)
        options.windowSeconds = 0.005;
    if (bCoarse)
        options.tolerance = bLowRate ? 0.002 : 0.0006;
    else if (bLowRate)
        options.tolerance = 0.0004;
    return options;
}

Playback PlaybackOf(double tempo, double rate, int pitch) {
    return {rate * std::pow(2.0, pitch / 12.0), tempo * rate};
}

SpliceFigures MeasureSplice(const std::vector<double>& wave, int rate, const Chirp& chirp,
                            const ChangeAt& change, const PositionOptions& options) {
    SpliceFigures result;
    const Playback& p1 = change.before;
    const Playback& p2 = change.after;
    std::vector<double> factors{p1.pitchFactor};
    if (p2.pitchFactor != p1.pitchFactor)
        factors.push_back(p2.pitchFactor);
    const double lowest = std::min(chirp.f0, chirp.f1) * std::min(p1.pitchFactor, p2.pitchFactor);
    const std::vector<FrequencyPoint> track =
        FrequencyTrack(ZeroCrossings(wave), rate, options.windowSeconds, lowest / 2);
    const std::vector<Anchor> anchors =
        Anchors(PositionRuns(track, chirp, factors, options), options);

    // The steady lines: the input well before the change plays at the old speed, all input after
    // it at the new one.
    const double c = change.inputSecond;
    const double reach = 1.2, edge = 0.05;
    std::vector<double> before, after;
    size_t first = anchors.size(), last = 0;
    for (size_t i = 0; i < anchors.size(); ++i) {
        const Anchor& a = anchors[i];
        if (a.x < std::max(edge, c - reach) || a.x > std::min(chirp.seconds - edge, c + reach))
            continue;
        if (a.x <= c - 0.15)
            before.push_back(a.x - p1.speed * a.t);
        else if (a.x >= c + 0.1)
            after.push_back(a.x - p2.speed * a.t);
        first = std::min(first, i);
        last = std::max(last, i);
    }
    if (before.size() < 3 || after.size() < 3) {
        char text[160];
        std::snprintf(text, sizeof(text),
                      "too few sequences heard at pitch factor %.4g before the change (%lu) or at "
                      "%.4g after it (%lu)",
                      p1.pitchFactor, static_cast<unsigned long>(before.size()), p2.pitchFactor,
                      static_cast<unsigned long>(after.size()));
        result.problem = text;
        return result;
    }
    const double b1 = CentralMean(before), b2 = CentralMean(after);
    // The engine's sequence after the change, in output seconds: the longest step between two
    // anchors of sequences there.
    double sequence = 0;
    for (size_t i = 1; i < anchors.size(); ++i) {
        const Anchor& a = anchors[i];
        if (a.x >= c + 0.1 && a.x <= c + reach && anchors[i - 1].x >= c + 0.1 && !a.bRunEnd &&
            a.t - anchors[i - 1].t > 0.0 && a.t - anchors[i - 1].t < 0.15)
            sequence = std::max(sequence, a.t - anchors[i - 1].t);
    }
    auto line1 = [&](double t) { return p1.speed * t + b1; };
    auto line2 = [&](double t) { return p2.speed * t + b2; };
    double jitter = 0;
    for (double b : before)
        jitter = std::max(jitter, std::fabs(b - b1));
    for (double b : after)
        jitter = std::max(jitter, std::fabs(b - b2));

    // Where the output leaves the old line for the new one: the boundary between two anchors with
    // the fewest anchors off their line, the old one before it and the new one after.
    const double tolerance = jitter + 0.001;
    auto offOld = [&](size_t i) {
        return std::fabs(anchors[i].x - line1(anchors[i].t)) > tolerance ? 1 : 0;
    };
    auto offNew = [&](size_t i) {
        return std::fabs(anchors[i].x - line2(anchors[i].t)) > tolerance ? 1 : 0;
    };
    std::vector<int> cost(last - first, 0); // boundary after anchor first + k
    for (size_t k = 0; k < cost.size(); ++k) {
        for (size_t i = first; i <= last; ++i)
            cost[k] += i <= first + k ? offOld(i) : offNew(i);
    }
    const int least = *std::min_element(cost.begin(), cost.end());
    auto gap = [&](double t) { return line2(t) - line1(t); };
    // The jump if the switch came at output second t, and that second.
    struct Switch {
        double jump, t;
    };
    // Jumps within a microsecond count as equal (parallel lines).
    auto less = [](double a, double b) { return std::fabs(a) < std::fabs(b) - 1e-6; };
    auto smaller = [&](Switch a, Switch b) { return less(b.jump, a.jump) ? b : a; };
    bool bFound = false;
    Switch best{0, 0};
    for (size_t k = 0; k < cost.size(); ++k) {
        if (cost[k] != least)
            continue;
        const Anchor& a = anchors[first + k];
        const Anchor& b = anchors[first + k + 1];
        // The sequence from anchor a to anchor b went by either speed. A run that plays on into
        // the first sequence after the change shows no splice where that sequence began: it may
        // have begun half a sequence to a sequence before the run's end (an engine's first
        // sequence is shorter than the others by an overlap).
        Switch s = smaller({gap(a.t), a.t}, {gap(b.t), b.t});
        if (a.bRunEnd && sequence > 0) {
            const double t0 = a.t - sequence, t1 = a.t - sequence / 2;
            const double g0 = gap(t0), g1 = gap(t1);
            s = smaller(s, (g0 < 0) != (g1 < 0) ? Switch{0, t0 + (t1 - t0) * g0 / (g0 - g1)}
                                                : smaller({g0, t0}, {g1, t1}));
        }
        // Among equals (parallel lines), the one nearest the change.
        if (!bFound || less(s.jump, best.jump) ||
            (!less(best.jump, s.jump) && std::fabs(line1(s.t) - c) < std::fabs(line1(best.t) - c)))
            best = s;
        bFound = true;
    }
    const double jump = best.jump;
    result.valid = true;
    result.droppedMs = std::max(0.0, jump) * 1000;
    result.repeatedMs = std::max(0.0, -jump) * 1000;
    result.jitterMs = jitter * 1000;
    result.newSpeedInputMs = (c - line1(best.t)) * 1000;
    return result;
}

namespace {

// Frames [a, b) of a stream, clamped, from output seconds.
struct FrameRange {
    size_t a, b;
};
FrameRange Frames(size_t frames, int rate, double from, double to) {
    auto at = [&](double t) { return size_t(std::clamp(t * rate, 1.0, double(frames))); };
    return {at(from), std::max(at(from), at(to))};
}

double LargestStep(const std::vector<double>& y, FrameRange r, size_t* pAt = nullptr) {
    double largest = 0;
    for (size_t n = r.a; n < r.b; ++n) {
        if (std::fabs(y[n] - y[n - 1]) > largest) {
            largest = std::fabs(y[n] - y[n - 1]);
            if (pAt)
                *pAt = n;
        }
    }
    return largest;
}

} // namespace

std::vector<double> LargestSteps(const uint8_t* bytes, size_t count, const Format& format,
                                 double from, double to) {
    const size_t frames = count / size_t(format.BlockAlign());
    std::vector<double> steps;
    for (int ch = 0; ch < format.channels; ++ch)
        steps.push_back(LargestStep(DecodeChannel(bytes, count, format, ch),
                                    Frames(frames, format.rate, from, to)));
    return steps;
}

StepFigures MeasureStep(const uint8_t* bytes, size_t count, const Format& format, double from,
                        double to, const std::vector<double>& steady) {
    StepFigures result;
    const size_t frames = count / size_t(format.BlockAlign());
    const FrameRange r = Frames(frames, format.rate, from, to);
    if (r.a >= r.b || steady.size() != size_t(format.channels))
        return result;
    for (int ch = 0; ch < format.channels; ++ch) {
        if (!(steady[size_t(ch)] > 0))
            return StepFigures{};
        size_t at = r.a;
        const double change = LargestStep(DecodeChannel(bytes, count, format, ch), r, &at);
        if (!result.valid || change / steady[size_t(ch)] > result.ratio) {
            result.valid = true;
            result.ratio = change / steady[size_t(ch)];
            result.changeStep = change;
            result.steadyStep = steady[size_t(ch)];
            result.atSecond = double(at) / format.rate;
            result.channel = ch;
        }
    }
    return result;
}

StepFigures MeasureStep(const uint8_t* bytes, size_t count, const Format& format, double from,
                        double to, double steadySeconds) {
    const double end = double(count / size_t(format.BlockAlign())) / format.rate;
    std::vector<double> steady =
        LargestSteps(bytes, count, format, std::max(from - steadySeconds, 0.1), from);
    const std::vector<double> after =
        LargestSteps(bytes, count, format, to, std::min(to + steadySeconds, end - 0.1));
    for (size_t ch = 0; ch < steady.size(); ++ch)
        steady[ch] = std::max(steady[ch], after[ch]);
    return MeasureStep(bytes, count, format, from, to, steady);
}

LengthBounds ExpectedLength(const std::vector<Stretch>& stretches, double heldSeconds,
                            double tolerance) {
    LengthBounds bounds;
    double down = 0, up = 0;
    for (size_t i = 0; i < stretches.size(); ++i) {
        bounds.nominal += stretches[i].inputSeconds / stretches[i].speed;
        if (i == 0)
            continue;
        const double d = heldSeconds / stretches[i].speed - heldSeconds / stretches[i - 1].speed;
        (d < 0 ? down : up) += d;
    }
    bounds.low = bounds.nominal + down - tolerance;
    bounds.high = bounds.nominal + up + tolerance;
    return bounds;
}

size_t CommonSuffix(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
    size_t n = 0;
    while (n < na && n < nb && a[na - 1 - n] == b[nb - 1 - n])
        ++n;
    return n;
}

size_t FirstGap(const std::vector<Span>& spans) {
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].start != spans[i - 1].stop)
            return i;
    }
    return spans.size();
}

size_t FirstOutside(const std::vector<Span>& outputs, const std::vector<Span>& inputs) {
    for (size_t i = 0; i < outputs.size(); ++i) {
        const Span& o = outputs[i];
        // The last input that starts at or before the output.
        auto it = std::upper_bound(inputs.begin(), inputs.end(), o.start,
                                   [](int64_t t, const Span& in) { return t < in.start; });
        if (it == inputs.begin() || o.stop < o.start || o.stop > std::prev(it)->stop)
            return i;
    }
    return outputs.size();
}

size_t FirstBadStamp(const std::vector<Span>& outputs, const std::vector<Span>& inputs,
                     bool bRestamp) {
    if (bRestamp)
        return FirstGap(outputs);
    // The tail after the end of stream follows the last input's stop.
    std::vector<Span> stream;
    for (const Span& s : outputs)
        if (inputs.empty() || s.start < inputs.back().stop)
            stream.push_back(s);
    const size_t bad = FirstOutside(stream, inputs);
    return bad == stream.size() ? outputs.size() : bad;
}

size_t FirstOfExactCopies(const std::vector<Piece>& outputs, const std::vector<uint8_t>& outBytes,
                          const std::vector<Piece>& inputs, const std::vector<uint8_t>& inBytes) {
    auto exact = [&](const Piece& o) {
        auto it = std::lower_bound(inputs.begin(), inputs.end(), o.span.start,
                                   [](const Piece& in, int64_t t) { return in.span.start < t; });
        return it != inputs.end() && it->span.start == o.span.start &&
               it->span.stop == o.span.stop && it->length == o.length &&
               o.offset + o.length <= outBytes.size() &&
               it->offset + it->length <= inBytes.size() &&
               std::equal(outBytes.begin() + long(o.offset),
                          outBytes.begin() + long(o.offset + o.length),
                          inBytes.begin() + long(it->offset));
    };
    size_t k = outputs.size();
    while (k > 0 && exact(outputs[k - 1]))
        --k;
    return k;
}

std::string SpeedSetting::Name() const {
    auto number = [](double v) {
        char text[32];
        std::snprintf(text, sizeof(text), "%g", v);
        return std::string(text);
    };
    std::string name;
    if (tempo != 1)
        name += "tempo " + number(tempo);
    if (rate != 1)
        name += std::string(name.empty() ? "" : " ") + "rate " + number(rate);
    if (pitch != 0)
        name += std::string(name.empty() ? "" : " ") + "pitch " + (pitch > 0 ? "+" : "") +
                std::to_string(pitch);
    return name.empty() ? "normal" : name;
}

size_t ChangeCase::SampleFrames() const {
    return size_t(std::llround(sampleSeconds * format.rate));
}

size_t ChangeCase::Frames() const {
    return size_t(std::llround(inputSeconds * format.rate));
}

size_t ChangeCase::ChangeSample() const {
    return size_t(std::llround(at / sampleSeconds));
}

double ChangeCase::ChangeSecond() const {
    return double(ChangeSample() * SampleFrames()) / format.rate;
}

std::vector<uint8_t> ChangeCase::ChirpInput() const {
    return Encode(ChirpWave(ChirpOf(), format.rate, Frames()), format);
}

std::vector<uint8_t> ChangeCase::ToneInput() const {
    return Encode(ClickTones(format.rate, Frames()), format);
}

int64_t FramesToUnits(int64_t frames, int rate) {
    const int64_t units = 10000000;
    return frames / rate * units + frames % rate * units / rate;
}

std::vector<Span> InputSpans(size_t frames, size_t sampleFrames, int rate) {
    std::vector<Span> spans;
    for (size_t f = 0; f < frames; f += sampleFrames) {
        const size_t end = std::min(frames, f + sampleFrames);
        spans.push_back({FramesToUnits(int64_t(f), rate), FramesToUnits(int64_t(end), rate)});
    }
    return spans;
}

ChangeFigures FiguresOfChange(const ChangeCase& c, const Recording& chirp, const Recording& tones,
                              bool bRestamp) {
    ChangeFigures figures;
    const Format& f = c.format;
    const double at = c.ChangeSecond();
    const double input = double(c.Frames()) / f.rate;
    const ChangeAt change{c.from.Speeds(), c.to.Speeds(), at};
    figures.splice = MeasureSplice(DecodeChannel(chirp.bytes, f), f.rate, c.ChirpOf(), change,
                                   PositionOptionsFor(f));
    if (!figures.splice.valid)
        figures.error = figures.splice.problem;
    const double bytesPerSecond = double(f.BlockAlign()) * f.rate;
    figures.outputSeconds = double(chirp.bytes.size()) / bytesPerSecond;
    figures.length = ExpectedLength({{at, change.before.speed}, {input - at, change.after.speed}});
    figures.lengthErrorMs = (figures.outputSeconds - figures.length.nominal) * 1000;

    // The stamps.
    const std::vector<Span> inputs = InputSpans(c.Frames(), c.SampleFrames(), f.rate);
    std::vector<Span> outputs;
    for (const Piece& p : chirp.samples)
        outputs.push_back(p.span);
    figures.outputCount = outputs.size();
    figures.firstBadStamp = FirstBadStamp(outputs, inputs, bRestamp);

    // Back at normal speed: the input's bytes again, and (RESTAMP=0) its samples with their
    // stamps.
    if (c.to.IsNormal()) {
        const std::vector<uint8_t> in = c.ChirpInput();
        const size_t same =
            CommonSuffix(chirp.bytes.data(), chirp.bytes.size(), in.data(), in.size());
        // A copy that starts before the change is one from the change on: a slowed-down engine
        // copies its input verbatim within a sequence, so a join inside one matches byte for byte.
        if (same > 0)
            figures.bitExactAfterMs =
                std::max((double(in.size() - same) / bytesPerSecond - at) * 1000, 0.0);
        if (!bRestamp) {
            std::vector<Piece> inPieces;
            const size_t sampleBytes = c.SampleFrames() * size_t(f.BlockAlign());
            for (size_t k = 0; k < inputs.size(); ++k)
                inPieces.push_back({inputs[k], k * sampleBytes,
                                    std::min(sampleBytes, in.size() - k * sampleBytes)});
            const size_t k = FirstOfExactCopies(chirp.samples, chirp.bytes, inPieces, in);
            if (k < chirp.samples.size())
                figures.exactCopiesAfterMs = double(chirp.samples[k].span.start) / 1e4 - at * 1000;
        }
    }

    // Clicks: from 50 ms before the change to 50 ms after the output of the input held then, at
    // the slower of the two speeds.
    const double outAt = double(tones.framesAtChange) / f.rate;
    const double held = 0.15 / std::min(change.before.speed, change.after.speed);
    figures.step =
        MeasureStep(tones.bytes.data(), tones.bytes.size(), f, outAt - 0.05, outAt + held + 0.05);
    if (!figures.step.valid && figures.error.empty())
        figures.error = "no steady tone to measure clicks against";
    return figures;
}

} // namespace listening
