// What a listener hears when the speed changes, measured: test signals in every sample format the
// filter takes, and analyses of what comes out. No COM and no framework: shared by the native
// tests, the Windows tests and the measurement program.
//
// The input position heard. A linear chirp says by its frequency where in the input it is: at
// input second x it sweeps at f(x) = f0 + k x, and the filter plays it back at P f(x) with the
// pitch factor P = rate x 2^(pitch / 12). Zero crossings, interpolated between samples and
// counted over a few milliseconds, give that frequency and so the position x heard at each
// output second t.
//
// The engine's own splices. The time stretch plays the input in sequences: each is a plain
// copy, over which x runs at P input seconds per output second, and the next one starts
// elsewhere, crossfaded. Over many sequences the starts lie on a line of the speed's slope
// (tempo x rate input seconds per output second); a start jitters around it by a few
// milliseconds, and in between x drifts from it by up to |P - speed| x the sequence length.
// So the analysis finds the plain runs, takes each run's line back to where its sequence began
// (the end of the previous run, before the crossfade) and fits the speed's line to those
// anchors. What was dropped or repeated at a change is then the jump between the line before
// and the line after at the sequence where the one gives way to the other: either end of it,
// whichever is smaller, as a splice of the engine's own may fall at the change and advance by
// either speed. At normal speed the output is the input itself: one long run, no sequences.
//
// Clicks. A steady tone has a largest step |y[n] - y[n - 1]| in steady state (the engine's
// crossfades keep it there); the largest step near a change over that is the step ratio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace listening {

// ---- formats and signals ------------------------------------------------------------------------

enum class SampleType { U8, S16, S24, S32, F32 };

struct Format {
    SampleType type = SampleType::S16;
    int channels = 2;
    int rate = 44100;

    int BytesPerSample() const;
    int BlockAlign() const { return BytesPerSample() * channels; }
    int Bits() const { return 8 * BytesPerSample(); }
    bool IsFloat() const { return type == SampleType::F32; }
    // "s16 2ch 44100 Hz"
    std::string Name() const;
};

// f(x) = f0 + (f1 - f0) x / seconds: the frequency at input second x.
struct Chirp {
    double f0 = 1000;
    double f1 = 3000;
    double seconds = 4;

    double Slope() const { return (f1 - f0) / seconds; }
    double FrequencyAt(double x) const { return f0 + Slope() * x; }
    double PositionOf(double frequency) const { return (frequency - f0) / Slope(); }
    // Its phase at input second x, in cycles.
    double CyclesAt(double x) const { return f0 * x + 0.5 * Slope() * x * x; }
};

// A chirp of `seconds` for the sample rate: 1 to 3 kHz, or, where those would come near the
// Nyquist frequency once raised by a pitch factor up to 1.5, from rate / 16 to rate / 6.
Chirp ChirpFor(int rate, double seconds);

// One channel of the chirp, `frames` frames at `rate`, of amplitude `amplitude`.
std::vector<double> ChirpWave(const Chirp& chirp, int rate, size_t frames, double amplitude = 0.5);
// A steady tone; phase in cycles (0.25: a cosine).
std::vector<double> ToneWave(double hz, int rate, size_t frames, double amplitude = 0.5,
                             double phase = 0);
// The tones the click analysis uses: 441.5 Hz on even channels and a cosine of 662.25 Hz on odd
// ones. A jump in a tone hides when it skips whole cycles or falls where the two sides happen to
// meet; at 440 Hz every 50 ms holds whole cycles, and output buffers and input samples come in
// multiples of 10 ms. At 441.5 Hz it takes 2 s, and a jump that one channel hides the other shows.
std::vector<std::vector<double>> ClickTones(int rate, size_t frames);

// The wave on every channel of the format, interleaved in its sample type (u8 offset by 128;
// integers scaled by their largest positive value and rounded; float as is).
std::vector<uint8_t> Encode(const std::vector<double>& wave, const Format& format);
// Channel c of the format carries waves[c % waves.size()] (all of the same length).
std::vector<uint8_t> Encode(const std::vector<std::vector<double>>& waves, const Format& format);
// One channel of interleaved bytes, scaled back as Encode scales: exact for what Encode made.
std::vector<double> DecodeChannel(const uint8_t* bytes, size_t count, const Format& format,
                                  int channel);
inline std::vector<double> DecodeChannel(const std::vector<uint8_t>& bytes, const Format& format,
                                         int channel = 0) {
    return DecodeChannel(bytes.data(), bytes.size(), format, channel);
}

// ---- the input position heard -------------------------------------------------------------------

// The times, in samples, where a wave crosses zero, between samples: a tone of the frequency the
// neighbouring crossings tell, fitted to the six samples around each (a cubic alone misses by
// thousandths of a sample at a few samples per cycle). A crossing counts only when the wave has
// reached +-threshold on both sides since the last one, so quiet noise makes none.
std::vector<double> ZeroCrossings(const std::vector<double>& wave, double threshold = 0.05);

// The frequency heard around output second t.
struct FrequencyPoint {
    double t;  // output seconds, the mean of the window's crossings
    double hz; // from the least-squares half-cycle of the window's crossings
};
// One point per crossing, over the crossings of the windowSeconds up to it; none over a gap of
// more than two half-cycles of lowestHz (silence, a hole).
std::vector<FrequencyPoint> FrequencyTrack(const std::vector<double>& crossings, int rate,
                                           double windowSeconds, double lowestHz);

// A stretch of output that plays the input as a plain copy at the pitch factor: x = P t + offset
// for output seconds t from tStart to tEnd (window middles).
struct Run {
    double tStart = 0, tEnd = 0;
    double pitchFactor = 1;
    double offset = 0;
    double X(double t) const { return pitchFactor * t + offset; }
};

// Where a sequence of the engine begins: output second t plays input second x. Along a run longer
// than a sequence the sequences cannot be told apart: its anchors there are points of its line,
// and the one at its end (bRunEnd) may follow the start of the run's last sequence by up to a
// sequence.
struct Anchor {
    double t = 0, x = 0;
    bool bRunEnd = false;
};

struct PositionOptions {
    double windowSeconds = 0.003;  // the frequency window
    double tolerance = 0.00025;    // how far, in input seconds, a run's points may stray
    double shortestRun = 0.008;    // output seconds; shorter ones are crossfades or noise
    double longestSplice = 0.040;  // a longer gap between runs is a pause, not a crossfade
    double longestSequence = 0.15; // a longer run is the input played through, not a sequence
};

// The options that suit a format: u8's coarse steps and 8 kHz's few samples per cycle need longer
// windows and a looser tolerance.
PositionOptions PositionOptionsFor(const Format& format);

// The runs of a track, for output that plays at one of the pitch factors (a change of rate or
// pitch: the old and the new), in time order.
std::vector<Run> PositionRuns(const std::vector<FrequencyPoint>& track, const Chirp& chirp,
                              const std::vector<double>& pitchFactors,
                              const PositionOptions& options = {});
// Each run's line at the start of its sequence: the end of the run before plus half a window (the
// crossfade lies between), or its own start after a pause. A run longer than a sequence gets an
// anchor every 50 ms along it and one at its end.
std::vector<Anchor> Anchors(const std::vector<Run>& runs, const PositionOptions& options = {});

// Pitch factor and speed of a setting, as the analyses need them.
struct Playback {
    double pitchFactor = 1; // rate x 2^(pitch / 12)
    double speed = 1;       // tempo x rate: input seconds per output second
};
Playback PlaybackOf(double tempo, double rate, int pitch);

// What was dropped or repeated at one change.
struct SpliceFigures {
    bool valid = false;
    std::string problem;        // why not valid
    double droppedMs = 0;       // input skipped beyond the engine's own splices
    double repeatedMs = 0;      // input played twice beyond them
    double jitterMs = 0;        // the largest distance of a steady anchor from its line
    double newSpeedInputMs = 0; // input before the change played at the new speed
};
struct ChangeAt {
    Playback before, after;
    double inputSecond = 0; // where the setter was called, in input seconds
};
// Analyses one channel of the output of a chirp with one change: the anchors of the output with
// input before inputSecond - 150 ms give the line before, those after inputSecond + 100 ms the
// line after (each needs at least 300 ms of input).
SpliceFigures MeasureSplice(const std::vector<double>& wave, int rate, const Chirp& chirp,
                            const ChangeAt& change, const PositionOptions& options = {});

// ---- clicks -------------------------------------------------------------------------------------

struct StepFigures {
    bool valid = false;
    double ratio = 0;      // largest step near the change / steadyStep, of the worst channel
    double changeStep = 0; // that channel's largest step near the change
    double steadyStep = 0; // its largest step in steady state, before or after
    double atSecond = 0;   // output second of the largest step near the change
    int channel = 0;
};
// For each channel, the largest |y[n] - y[n - 1]| from output second `from` to `to` against the
// largest in the steadySeconds before `from` and after `to` (the first 100 ms of the output and
// its last 100 ms, the engine's start and end, do not count as steady); the channel with the
// largest ratio.
StepFigures MeasureStep(const uint8_t* bytes, size_t count, const Format& format, double from,
                        double to, double steadySeconds = 0.5);
// The largest |y[n] - y[n - 1]| of each channel from output second `from` to `to`.
std::vector<double> LargestSteps(const uint8_t* bytes, size_t count, const Format& format,
                                 double from, double to);
// Against given steady steps, one per channel: the worst channel's ratio.
StepFigures MeasureStep(const uint8_t* bytes, size_t count, const Format& format, double from,
                        double to, const std::vector<double>& steady);

// ---- lengths ------------------------------------------------------------------------------------

// Input played at one speed.
struct Stretch {
    double inputSeconds = 0;
    double speed = 1;
};
// How long the output of a run of stretches may be: the sum of each stretch over its speed, plus
// per change what input held at the change would make at the new speed (at most heldSeconds of
// it), each change in its own direction, and a tolerance either way.
struct LengthBounds {
    double nominal = 0, low = 0, high = 0;
};
LengthBounds ExpectedLength(const std::vector<Stretch>& stretches, double heldSeconds = 0.1,
                            double tolerance = 0.005);

// ---- copies ------------------------------------------------------------------------------------

// How many bytes at the end of a equal those at the end of b.
size_t CommonSuffix(const uint8_t* a, size_t na, const uint8_t* b, size_t nb);

// An output's time span, 100 ns units.
struct Span {
    int64_t start = 0, stop = 0;
};
// The index of the first span that does not start where the one before stopped (spans.size()
// when all join).
size_t FirstGap(const std::vector<Span>& spans);
// The index of the first output that does not lie within one of the inputs (outputs.size() when
// all do); the inputs in time order.
size_t FirstOutside(const std::vector<Span>& outputs, const std::vector<Span>& inputs);
// The first output whose stamps break the mode's rule (outputs.size() when none does): with
// restamping they join; without, each output of the stream (the tail after the last input's
// stop aside) lies within an input.
size_t FirstBadStamp(const std::vector<Span>& outputs, const std::vector<Span>& inputs,
                     bool bRestamp);

// A sample's bytes within its stream and its span.
struct Piece {
    Span span;
    size_t offset = 0, length = 0;
};
// The first output from which on every output is an input's bytes with that input's span
// (outputs.size() when the last one is not).
size_t FirstOfExactCopies(const std::vector<Piece>& outputs, const std::vector<uint8_t>& outBytes,
                          const std::vector<Piece>& inputs, const std::vector<uint8_t>& inBytes);

// ---- one change, as the tests drive the filter -------------------------------------------------

// The filter's three values.
struct SpeedSetting {
    double tempo = 1, rate = 1;
    int pitch = 0;

    bool IsNormal() const { return tempo == 1 && rate == 1 && pitch == 0; }
    Playback Speeds() const { return PlaybackOf(tempo, rate, pitch); }
    // "tempo 1.5", "rate 1.2", "pitch +3", "tempo 1.5 pitch +3", "normal"
    std::string Name() const;
};

// One change: `from` until input second `at`, `to` after, over input samples of sampleSeconds.
// The filter plays it twice: a chirp (ChirpFor) tells what is dropped or repeated, the click
// tones tell of clicks.
struct ChangeCase {
    SpeedSetting from, to;
    Format format;
    double sampleSeconds = 0.1;
    double inputSeconds = 4;
    double at = 2; // a whole number of input samples

    size_t SampleFrames() const;
    size_t Frames() const;
    // The input sample before which the change is made.
    size_t ChangeSample() const;
    double ChangeSecond() const;
    Chirp ChirpOf() const { return ChirpFor(format.rate, inputSeconds); }
    std::vector<uint8_t> ChirpInput() const;
    std::vector<uint8_t> ToneInput() const;
};

// Stream time of n frames, 100 ns units rounded down, as sources stamp their samples.
int64_t FramesToUnits(int64_t frames, int rate);
// The spans of input samples of sampleFrames each (the last may be shorter).
std::vector<Span> InputSpans(size_t frames, size_t sampleFrames, int rate);

// What a sink received in one run.
struct Recording {
    std::vector<uint8_t> bytes;
    std::vector<Piece> samples; // each output's span and where its bytes lie
    size_t framesAtChange = 0;  // output frames received when the change was made
};

struct ChangeFigures {
    std::string error; // a run that failed, or an analysis that could not be made
    SpliceFigures splice;
    StepFigures step;
    LengthBounds length; // of the chirp's run
    double outputSeconds = 0;
    double lengthErrorMs = 0; // output length - nominal
    // To normal speed: input milliseconds from the change to where the output became the input's
    // bytes again (the common end of both); -1 when it never did.
    double bitExactAfterMs = -1;
    // RESTAMP=0: the first output that lies outside its input's span (the tail after the last
    // input aside), RESTAMP=1: the first that does not join the one before; outputCount when none.
    size_t firstBadStamp = 0;
    size_t outputCount = 0;
    // RESTAMP=0, to normal speed: input milliseconds from the change to the first output from
    // which on every output is an input sample's bytes with its stamps; -1 when the last is not.
    double exactCopiesAfterMs = -1;
};
// Every figure of one change from the chirp's and the tones' recordings.
ChangeFigures FiguresOfChange(const ChangeCase& c, const Recording& chirp, const Recording& tones,
                              bool bRestamp);

} // namespace listening
