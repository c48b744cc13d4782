// The instrument itself, on signals whose answer is known: a test of the filter is only as good
// as the figures it reads.
#include "common/Listening.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace listening;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Output made of plain pieces of a chirp, as the engine makes it: piece i plays the input from x0
// at its pitch factor for `seconds`, then goes on under the next piece's fade-in for `fade`
// seconds (a linear crossfade; none when fade is 0: a hard cut).
struct Played {
    double x0, factor, seconds;
};

std::vector<double> Splice(const Chirp& chirp, int rate, const std::vector<Played>& pieces,
                           double fade) {
    double total = 0;
    for (const Played& p : pieces)
        total += p.seconds;
    std::vector<double> wave(size_t(total * rate), 0.0);
    double t0 = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Played& p = pieces[i];
        const double tail = i + 1 < pieces.size() ? fade : 0;
        const size_t first = size_t(std::ceil(t0 * rate));
        for (size_t n = first; n < wave.size() && double(n) / rate < t0 + p.seconds + tail; ++n) {
            const double t = double(n) / rate;
            double w = 1;
            if (i > 0 && fade > 0 && t < t0 + fade)
                w = (t - t0) / fade;
            if (t >= t0 + p.seconds)
                w = 1 - (t - t0 - p.seconds) / fade;
            const double cycles = chirp.CyclesAt(p.x0 + p.factor * (t - t0));
            wave[n] += w * 0.5 * std::sin(2 * kPi * (cycles - std::floor(cycles)));
        }
        t0 += p.seconds;
    }
    return wave;
}

// The engine's sequences at one speed: from input second x, until the input reaches `until`,
// each `sequence` output seconds long at the pitch factor, the next starting where the speed's
// line says, plus the sequence's own offset (offsets[i % size]).
void Sequences(std::vector<Played>& pieces, double& x, double until, double speed, double factor,
               double sequence, const std::vector<double>& offsets = {0}) {
    for (size_t i = 0; x < until; ++i) {
        pieces.push_back({x + offsets[i % offsets.size()], factor, sequence});
        x += speed * sequence;
    }
}

const Chirp kChirp{1000, 3000, 4};
constexpr int kRate = 44100;

} // namespace

// ---- signals ----------------------------------------------------------------------------------

TEST(ListeningSignals, EachSampleTypeIsWrittenAtItsScale) {
    const std::vector<double> wave{0.5, -1.0, 1.0};
    auto bytes = [&](SampleType type) { return Encode(wave, Format{type, 1, 8000}); };
    EXPECT_EQ(bytes(SampleType::U8), (std::vector<uint8_t>{192, 1, 255})); // 128 + 63.5 rounded
    EXPECT_EQ(bytes(SampleType::S16),
              (std::vector<uint8_t>{0x00, 0x40, 0x01, 0x80, 0xFF, 0x7F})); // 16384, -32767, 32767
    EXPECT_EQ(bytes(SampleType::S24),
              (std::vector<uint8_t>{0x00, 0x00, 0x40, 0x01, 0x00, 0x80, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(bytes(SampleType::S32), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x40, 0x01, 0x00,
                                                            0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}));
    const std::vector<uint8_t> f = bytes(SampleType::F32);
    ASSERT_EQ(f.size(), 12u);
    float v[3];
    std::memcpy(v, f.data(), 12);
    EXPECT_EQ(v[0], 0.5f);
    EXPECT_EQ(v[1], -1.0f);
    EXPECT_EQ(v[2], 1.0f);
}

TEST(ListeningSignals, ChannelsAreInterleavedAndReadBackExactly) {
    // Values on each type's own grid come back unchanged, from every channel.
    for (SampleType type :
         {SampleType::U8, SampleType::S16, SampleType::S24, SampleType::S32, SampleType::F32}) {
        const Format format{type, 3, 8000};
        const double scale = type == SampleType::U8    ? 127
                             : type == SampleType::S16 ? 32767
                             : type == SampleType::S24 ? 8388607
                             : type == SampleType::S32 ? 2147483647
                                                       : 1024;
        const std::vector<double> a{-100 / scale, 0, 3 / scale, 1.0};
        const std::vector<double> b{7 / scale, -1.0, 0, -5 / scale};
        const std::vector<uint8_t> bytes = Encode({a, b}, format);
        ASSERT_EQ(bytes.size(), 4u * size_t(format.BlockAlign())) << format.Name();
        EXPECT_EQ(DecodeChannel(bytes, format, 0), a) << format.Name();
        EXPECT_EQ(DecodeChannel(bytes, format, 1), b) << format.Name();
        EXPECT_EQ(DecodeChannel(bytes, format, 2), a) << format.Name() << ": channel 2 repeats 0";
    }
}

// ---- the position heard -------------------------------------------------------------------------

TEST(ListeningPosition, ZeroCrossingsOfAToneLieWhereItsPhaseIsZero) {
    // 1.5 kHz, down to 5.3 samples a cycle at 8 kHz, where a cubic errs by thousandths of a
    // sample: within a ten-thousandth.
    for (int rate : {8000, 44100, 192000}) {
        const double hz = 1500;
        const std::vector<double> wave = ToneWave(hz, rate, size_t(rate / 10), 0.5, 0.1);
        const std::vector<double> crossings = ZeroCrossings(wave);
        // 300 half-cycles; the last crossing counts once the wave has gone past the threshold.
        ASSERT_GE(crossings.size(), size_t(2 * hz / 10) - 1) << rate;
        for (size_t k = 0; k < crossings.size(); ++k) {
            // The phase 0.1 + hz t / rate crosses a half-cycle at each (k + 1) / 2.
            const double expected = ((double(k) + 1) / 2 - 0.1) * rate / hz;
            ASSERT_NEAR(crossings[k], expected, 1e-4) << rate << " Hz, crossing " << k;
        }
    }
}

TEST(ListeningPosition, QuietNoiseMakesNoCrossings) {
    std::vector<double> wave(1000);
    for (size_t n = 0; n < wave.size(); ++n)
        wave[n] = (n % 2 ? 1 : -1) * 0.04;
    EXPECT_TRUE(ZeroCrossings(wave, 0.05).empty());
}

TEST(ListeningPosition, AChirpIsHeardWhereItPlaysInEveryFormat) {
    // The largest error of the position heard over a plain chirp, against what each format's
    // options allow for (the runs' tolerance).
    for (int rate : {8000, 44100, 192000}) {
        for (SampleType type : {SampleType::U8, SampleType::S16, SampleType::F32}) {
            const Format format{type, 1, rate};
            const Chirp chirp = ChirpFor(rate, 2);
            const PositionOptions options = PositionOptionsFor(format);
            const std::vector<double> wave =
                DecodeChannel(Encode(ChirpWave(chirp, rate, size_t(2 * rate)), format), format);
            const std::vector<FrequencyPoint> track =
                FrequencyTrack(ZeroCrossings(wave), rate, options.windowSeconds, chirp.f0 / 2);
            ASSERT_GT(track.size(), size_t(2 * chirp.f0)) << format.Name();
            double worst = 0;
            for (const FrequencyPoint& p : track) {
                if (p.t > 0.01 && p.t < 1.99)
                    worst = std::max(worst, std::fabs(chirp.PositionOf(p.hz) - p.t));
            }
            EXPECT_LT(worst, 1.5 * options.tolerance) << format.Name();
            // One run: the whole chirp, on its own line.
            const std::vector<listening::Run> runs = PositionRuns(track, chirp, {1.0}, options);
            ASSERT_EQ(runs.size(), 1u) << format.Name();
            EXPECT_NEAR(runs[0].offset, 0, options.tolerance / 4) << format.Name();
        }
    }
}

TEST(ListeningPosition, ARunFollowsItsPitchFactor) {
    // 100 ms of input at 1.0, then the input played on 20 % faster: two runs, each on its line.
    const double x1 = 0.3;
    const std::vector<double> wave = Splice(kChirp, kRate, {{0.2, 1.0, 0.1}, {x1, 1.2, 0.1}}, 0);
    const std::vector<listening::Run> runs =
        PositionRuns(FrequencyTrack(ZeroCrossings(wave), kRate, 0.003, 500), kChirp, {1.0, 1.2});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].pitchFactor, 1.0);
    EXPECT_EQ(runs[1].pitchFactor, 1.2);
    EXPECT_NEAR(runs[0].X(0.05), 0.25, 1e-5);
    EXPECT_NEAR(runs[1].X(0.15), x1 + 1.2 * 0.05, 1e-5);
    // The cut lies inside the window of the points it spoils.
    EXPECT_NEAR(runs[0].tEnd, 0.1 - 0.0015, 0.0005);
    EXPECT_NEAR(runs[1].tStart, 0.1 + 0.0015, 0.0005);
}

// ---- dropped and repeated input -----------------------------------------------------------------

TEST(ListeningSplice, AHoleOrARepeatInAPlainCopyIsMeasuredToTheMicrosecond) {
    for (double ms : {6.0, 4.0, -6.0, 0.0}) {
        const double hole = ms / 1000;
        const std::vector<double> wave =
            Splice(kChirp, kRate, {{0.0, 1.0, 2.0}, {2.0 + hole, 1.0, 1.9}}, 0);
        const SpliceFigures f = MeasureSplice(wave, kRate, kChirp, {{1, 1}, {1, 1}, 2.0});
        ASSERT_TRUE(f.valid) << f.problem;
        EXPECT_NEAR(f.droppedMs, std::max(ms, 0.0), 0.002) << ms << " ms";
        EXPECT_NEAR(f.repeatedMs, std::max(-ms, 0.0), 0.002) << ms << " ms";
        EXPECT_LT(f.jitterMs, 0.002);
    }
}

TEST(ListeningSplice, AHoleAmongTheEnginesSequencesIsMeasuredBeyondThem) {
    // Tempo 1.5 in 54 ms sequences, then 0.75 in 70 ms ones, 12 ms crossfades; the change at
    // 2 s of input, wherever it falls in a sequence; a hole of 6 ms, 4 ms or none at the switch.
    for (double ms : {6.0, 4.0, 0.0}) {
        for (double shift : {0.0, 0.013, 0.031}) {
            std::vector<Played> pieces;
            double x = 0.05 + shift;
            Sequences(pieces, x, 1.93, 1.5, 1.0, 0.054);
            x += ms / 1000;
            Sequences(pieces, x, 3.8, 0.75, 1.0, 0.070);
            const std::vector<double> wave = Splice(kChirp, kRate, pieces, 0.012);
            const SpliceFigures f = MeasureSplice(wave, kRate, kChirp, {{1, 1.5}, {1, 0.75}, 2.0});
            ASSERT_TRUE(f.valid) << f.problem;
            EXPECT_NEAR(f.droppedMs, ms, 0.3) << ms << " ms hole, shifted " << shift;
            EXPECT_LT(f.repeatedMs, 0.3) << ms << " ms hole, shifted " << shift;
            EXPECT_LT(f.jitterMs, 1.0) << "where the crossfades let the runs end";
        }
    }
}

TEST(ListeningSplice, TheSequencesOwnJitterIsNotCountedAsDropped) {
    // Sequences that start up to 4 ms off the line, as the engine's seek places them.
    const std::vector<double> offsets{0.0, 0.0031, -0.0017, 0.0042, 0.0008, -0.0035, 0.0024};
    for (double ms : {6.0, 0.0}) {
        std::vector<Played> pieces;
        double x = 0.05;
        Sequences(pieces, x, 1.95, 0.5, 1.0, 0.070, offsets);
        x += ms / 1000;
        Sequences(pieces, x, 3.8, 2.0, 1.0, 0.044, offsets);
        const std::vector<double> wave = Splice(kChirp, kRate, pieces, 0.012);
        const SpliceFigures f = MeasureSplice(wave, kRate, kChirp, {{1, 0.5}, {1, 2.0}, 2.0});
        ASSERT_TRUE(f.valid) << f.problem;
        EXPECT_NEAR(f.jitterMs, 4.2, 0.5) << "the largest offset from the line";
        EXPECT_NEAR(f.droppedMs, ms, 0.5) << ms << " ms hole";
        EXPECT_LT(f.repeatedMs, 0.5);
    }
}

TEST(ListeningSplice, NormalSpeedPlayingOnIntoTheFirstSequenceIsNoJump) {
    // From normal speed into tempo 1.5: the engine's first sequence carries straight on from the
    // copy (no splice where it began), then the next jumps ahead by the sequence's half.
    for (double ms : {0.0, 6.0}) {
        std::vector<Played> pieces{{0.0, 1.0, 2.0}};
        double x = 2.0 + ms / 1000;
        Sequences(pieces, x, 3.8, 1.5, 1.0, 0.054);
        const std::vector<double> wave = Splice(kChirp, kRate, pieces, 0.012);
        const SpliceFigures f = MeasureSplice(wave, kRate, kChirp, {{1, 1}, {1, 1.5}, 2.0});
        ASSERT_TRUE(f.valid) << f.problem;
        EXPECT_NEAR(f.droppedMs, ms, 0.3) << ms << " ms hole";
        EXPECT_LT(f.repeatedMs, 0.3);
        EXPECT_NEAR(f.newSpeedInputMs, 0, 0.5) << "the switch came at the change";
    }
}

TEST(ListeningSplice, APitchChangeIsDecodedAtEitherFactor) {
    // +3 semitones: the input heard 1.19 times higher in sequences at speed 1, which is what
    // gets dropped measured in input seconds.
    const double p = std::pow(2.0, 3 / 12.0);
    for (double ms : {0.0, 6.0, -6.0}) {
        std::vector<Played> pieces{{0.0, 1.0, 2.0}};
        double x = 2.0 + ms / 1000;
        Sequences(pieces, x, 3.8, 1.0, p, 0.054);
        const std::vector<double> wave = Splice(kChirp, kRate, pieces, 0.012);
        const SpliceFigures f = MeasureSplice(wave, kRate, kChirp, {{1, 1}, {p, 1}, 2.0});
        ASSERT_TRUE(f.valid) << f.problem;
        EXPECT_NEAR(f.droppedMs, std::max(ms, 0.0), 0.3) << ms;
        EXPECT_NEAR(f.repeatedMs, std::max(-ms, 0.0), 0.3) << ms;
    }
}

TEST(ListeningSplice, AWholeBufferLostIsMeasuredWhole) {
    // Tempo 1.5 in sequences, then normal speed 74 ms of input further on: what a listener
    // hears as a skip, beyond the half sequence tempo 1.5 skips at each splice.
    std::vector<Played> pieces;
    double x = 0.05;
    Sequences(pieces, x, 1.9, 1.5, 1.0, 0.054);
    const double last = pieces.back().x0 - x; // the line's lead over the last sequence's start
    pieces.push_back({x + 0.074, 1.0, 1.8});
    const std::vector<double> wave = Splice(kChirp, kRate, pieces, 0);
    const SpliceFigures f = MeasureSplice(wave, kRate, kChirp, {{1, 1.5}, {1, 1}, x});
    ASSERT_TRUE(f.valid) << f.problem;
    EXPECT_NEAR(f.droppedMs, 74, 0.3) << "the line's lead " << last * 1000 << " ms";
}

TEST(ListeningSplice, TooLittleOutputIsNoMeasurement) {
    const std::vector<double> wave = Splice(kChirp, kRate, {{1.0, 1.0, 1.1}}, 0);
    const SpliceFigures f = MeasureSplice(wave, kRate, kChirp, {{1, 1}, {1, 1}, 2.0});
    EXPECT_FALSE(f.valid);
    EXPECT_FALSE(f.problem.empty());
}

// ---- clicks -----------------------------------------------------------------------------------

TEST(ListeningStep, TheWorstChannelsRatioIsReported) {
    // Triangles of exact steps: 100 LSB on channel 0, 60 on channel 1, each with one jump.
    const Format format{SampleType::S16, 2, 8000};
    const size_t frames = 8000;
    std::vector<double> a(frames), b(frames);
    for (size_t n = 0; n < frames; ++n) {
        const auto triangle = [n](int step) {
            const int period = 2 * 100, k = int(n % size_t(period));
            return double((k < 100 ? k : period - k) * step - 50 * step);
        };
        a[n] = triangle(100) / 32767;
        b[n] = triangle(60) / 32767;
    }
    // On rising slopes: a step of 700 (and of 500 back) on channel 0, a ratio of 7; one of 440
    // and 560 back on channel 1, a ratio of 9.33.
    a[4025] += 600.0 / 32767;
    b[4050] -= 500.0 / 32767;
    const std::vector<uint8_t> bytes = Encode({a, b}, format);
    const StepFigures f = MeasureStep(bytes.data(), bytes.size(), format, 0.45, 0.55, 0.3);
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.channel, 1);
    EXPECT_NEAR(f.ratio, 560.0 / 60, 1e-12);
    EXPECT_NEAR(f.steadyStep, 60.0 / 32767, 1e-15);
    EXPECT_EQ(f.atSecond, 4051.0 / 8000);
    // A jump before the window counts as steady: channel 0's is, and its ratio is 100 / 700.
    const StepFigures later = MeasureStep(bytes.data(), bytes.size(), format, 0.504, 0.6, 0.3);
    EXPECT_EQ(later.channel, 1);
    EXPECT_NEAR(later.ratio, 560.0 / 60, 1e-12);
    const StepFigures none = MeasureStep(bytes.data(), bytes.size(), format, 0.8, 0.9, 0.05);
    EXPECT_NEAR(none.ratio, 1.0, 1e-12);
}

TEST(ListeningStep, ClickTonesAreSteady) {
    // Over 2 s at every rate, no step of the tones outgrows another by much: a ratio near 1
    // anywhere, so that 1.5 means a click.
    for (int rate : {8000, 44100, 192000}) {
        const Format format{SampleType::S16, 2, rate};
        const std::vector<uint8_t> bytes = Encode(ClickTones(rate, size_t(2 * rate)), format);
        const StepFigures f = MeasureStep(bytes.data(), bytes.size(), format, 1.0, 1.05, 0.5);
        ASSERT_TRUE(f.valid);
        EXPECT_LT(f.ratio, 1.01) << rate;
        EXPECT_GT(f.ratio, 0.99) << rate;
    }
}

// ---- lengths and copies
// ---------------------------------------------------------------------------

TEST(ListeningLength, HeldInputCountsInTheDirectionOfTheNewSpeed) {
    // 2 s at 0.5, 1 s at 2, 1 s at 0.25: 4 + 0.5 + 4 s; the first change may take up to 0.1 s
    // of input to speed 2 (0.05 - 0.2), the second to 0.25 (0.4 - 0.05).
    const LengthBounds b = ExpectedLength({{2, 0.5}, {1, 2}, {1, 0.25}});
    EXPECT_DOUBLE_EQ(b.nominal, 8.5);
    EXPECT_DOUBLE_EQ(b.low, 8.5 - 0.15 - 0.005);
    EXPECT_DOUBLE_EQ(b.high, 8.5 + 0.35 + 0.005);
    const LengthBounds one = ExpectedLength({{3, 1.5}});
    EXPECT_DOUBLE_EQ(one.nominal, 2);
    EXPECT_DOUBLE_EQ(one.low, 1.995);
    EXPECT_DOUBLE_EQ(one.high, 2.005);
}

TEST(ListeningCopies, CommonEndsAndSpans) {
    const uint8_t in[] = {1, 2, 3, 4, 5, 6};
    const uint8_t out[] = {9, 3, 4, 5, 6};
    EXPECT_EQ(CommonSuffix(out, 5, in, 6), 4u);
    EXPECT_EQ(CommonSuffix(in, 6, in, 6), 6u);
    EXPECT_EQ(CommonSuffix(in, 5, in, 6), 0u);

    EXPECT_EQ(FirstGap({{0, 10}, {10, 25}, {25, 30}}), 3u);
    EXPECT_EQ(FirstGap({{0, 10}, {10, 25}, {26, 30}}), 2u);
    const std::vector<Span> inputs{{0, 100}, {100, 200}, {200, 300}};
    EXPECT_EQ(FirstOutside({{0, 40}, {40, 100}, {100, 100}, {150, 200}}, inputs), 4u);
    EXPECT_EQ(FirstOutside({{0, 40}, {90, 110}}, inputs), 1u) << "across two inputs";
    EXPECT_EQ(FirstOutside({{250, 310}}, inputs), 0u) << "past the last";
}

TEST(ListeningCopies, ExactCopiesAreFoundFromTheEnd) {
    const std::vector<uint8_t> in{1, 2, 3, 4, 5, 6};
    const std::vector<Piece> inputs{{{0, 10}, 0, 2}, {{10, 20}, 2, 2}, {{20, 30}, 4, 2}};
    const std::vector<uint8_t> out{7, 3, 4, 5, 6};
    // The second output has the right bytes but the wrong span; the last two are copies.
    const std::vector<Piece> outputs{{{0, 10}, 0, 1}, {{11, 20}, 1, 2}, {{20, 30}, 3, 2}};
    EXPECT_EQ(FirstOfExactCopies(outputs, out, inputs, in), 2u);
    const std::vector<Piece> right{{{0, 10}, 0, 1}, {{10, 20}, 1, 2}, {{20, 30}, 3, 2}};
    EXPECT_EQ(FirstOfExactCopies(right, out, inputs, in), 1u);
    const std::vector<uint8_t> wrong{7, 3, 4, 5, 7};
    EXPECT_EQ(FirstOfExactCopies(right, wrong, inputs, in), 3u);
}
