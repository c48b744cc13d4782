#include "SpeedProcessor.h"

#include "ChangeSplice.h"
#include "SampleConvert.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Input is fed to the engine, and its output received, in chunks of at most this many frames.
// The engine holds all the output of one putSamples call; a small chunk keeps that (and our
// staging buffers) small, and slowed down the input goes in smaller pieces still
// (InputPieceFrames), as a very slow speed turns one block into minutes of audio.
constexpr int32_t kChunkFrames = 1024;
constexpr int32_t kRingMinCapacity = 64 * 1024;
// Silence the tail may feed, beyond what its length needs, before the engine's pipeline is
// taken to be empty (with the longest tuning the pipeline holds a few seconds).
constexpr int32_t kTailPipelineSeconds = 60;
constexpr int32_t kMinTailSilenceFrames = 128;
// Normalised match below which the output holds no copy of the input to join.
constexpr double kMinSpliceMatch = 0.9;
// Most input mirrored after a short one at the end of a stretch.
constexpr int32_t kMirrorSeconds = 2;
constexpr int32_t kMaxTailSilenceFrames = 64 * 1024;
// Most input fed at once at the end of a stretch (FeedPieceFrames).
constexpr int32_t kMaxFeedFrames = 64 * 1024;

bool IsUsableAntiAliasLength(int32_t taps) {
    return taps > 0 && taps % 8 == 0 && taps <= CSpeedProcessor::kMaxAntiAliasLength;
}

bool IsUsableTuningMs(int32_t ms) {
    return ms >= 0 && ms <= kMaxStretchTuningMs;
}

bool IsUsableChangePercent(int32_t percent) {
    return percent >= CSpeedProcessor::kMinChangePercent &&
           percent <= CSpeedProcessor::kMaxChangePercent;
}

// NaN to 0, the rest clamped to +-kMaxFloatInput, in place.
void SanitizeFloatInput(float* samples, int32_t count) {
    constexpr float limit = CSpeedProcessor::kMaxFloatInput;
    for (int32_t i = 0; i < count; ++i) {
        const float x = samples[i];
        samples[i] = std::isnan(x) ? 0.0f : std::clamp(x, -limit, limit);
    }
}

// The engine's own defaults for what EngineOptions may leave unset: its anti-alias filter's length
// and its overlap (the sequence and seek window default to automatic, 0).
constexpr int32_t kEngineDefaultAntiAliasLength = 64;
constexpr int32_t kEngineDefaultOverlapMs = 8;

// Sets engine up as a new one would be for the format and options, at normal speed and empty.
// Every setting is given, the engine's defaults included, so that an engine kept from another
// format (or changed through ChangeSetting) keeps nothing of it but the size of its buffers.
// Throws what the engine throws.
void SetUpEngine(soundtouch::SoundTouch& engine, int32_t samplesPerSec, int32_t channels,
                 const EngineOptions& options) {
    const bool antiAlias =
        options.bAntiAliasFilter && channels <= CSpeedProcessor::kMaxAntiAliasChannels;
    engine.setSetting(SETTING_USE_QUICKSEEK, options.bQuickSeek ? 1 : 0);
    engine.setSetting(SETTING_USE_AA_FILTER, antiAlias ? 1 : 0);
    engine.setSetting(SETTING_AA_FILTER_LENGTH, !antiAlias ? kEngineDefaultAntiAliasLength
                                                : IsUsableAntiAliasLength(options.nAntiAliasLength)
                                                    ? options.nAntiAliasLength
                                                    : CSpeedProcessor::kFallbackAntiAliasLength);
    engine.setSampleRate(static_cast<unsigned>(samplesPerSec));
    engine.setChannels(static_cast<unsigned>(channels));
    engine.setTempoChange(0.0);
    engine.setPitchSemiTones(0);
    engine.setRateChange(0.0);
    // 0 makes the sequence and seek window automatic; the engine ignores an overlap of 0.
    const auto ms = [](int32_t value, int32_t otherwise) {
        return IsUsableTuningMs(value) && value > 0 ? value : otherwise;
    };
    engine.setSetting(SETTING_SEQUENCE_MS, ms(options.tuning.sequenceMs, 0));
    engine.setSetting(SETTING_SEEKWINDOW_MS, ms(options.tuning.seekWindowMs, 0));
    engine.setSetting(SETTING_OVERLAP_MS, ms(options.tuning.overlapMs, kEngineDefaultOverlapMs));
    engine.clear();
}

// A new engine at normal speed. Throws what the engine throws.
std::unique_ptr<soundtouch::SoundTouch> CreateEngine(int32_t samplesPerSec, int32_t channels,
                                                     const EngineOptions& options) {
    auto engine = std::make_unique<soundtouch::SoundTouch>();
    SetUpEngine(*engine, samplesPerSec, channels, options);
    return engine;
}

} // namespace

CSpeedProcessor::CSpeedProcessor() noexcept
    : m_bActive(false), m_nPitchSemiTones(0), m_nTempoChange(0), m_nRateChange(0),
      m_pConverter(nullptr), m_nRingLimit(0), m_nRingCapacity(0), m_nRingRead(-1), m_nRingCount(0) {
}

CSpeedProcessor::~CSpeedProcessor() {
    Free();
}

bool CSpeedProcessor::SupportsFormat(int32_t channels, int32_t samplesPerSec,
                                     uint16_t bitsPerSample, bool floatSamples) {
    return channels >= 1 && channels <= kMaxChannels && samplesPerSec >= kMinSampleRate &&
           samplesPerSec <= kMaxSampleRate &&
           FindSampleConverter(bitsPerSample, floatSamples) != nullptr;
}

int32_t CSpeedProcessor::InputPieceFrames(double outPerIn) {
    if (!(outPerIn > 1.0)) {
        return kChunkFrames;
    }
    return std::max(1, static_cast<int32_t>(kChunkFrames / outPerIn));
}

bool CSpeedProcessor::IsInSpeedEnvelope(int32_t tempoPercent, int32_t ratePercent,
                                        int32_t pitchSemiTones) {
    // In range first: the sums below cannot overflow then.
    return IsUsableChangePercent(tempoPercent) && IsUsableChangePercent(ratePercent) &&
           velomix_in_speed_envelope(100 + tempoPercent, 100 + ratePercent, pitchSemiTones) != 0;
}

EngineResult CSpeedProcessor::Configure(const PcmFormat& format, const EngineOptions& options) {
    // The engine is kept for the new format, set up afresh: its buffers keep the size they grew
    // to (at extreme speeds, megabytes grown in 4 KiB steps with a copy at each).
    std::unique_ptr<soundtouch::SoundTouch> kept = std::move(m_pSoundTouch);
    Free();
    if (!SupportsFormat(format)) {
        return EngineResult::Refused;
    }
    try {
        const SampleConverter* converter =
            FindSampleConverter(format.wBitsPerSample, format.bFloat);
        const auto samples =
            static_cast<size_t>(kChunkFrames) * static_cast<size_t>(format.nChannels);
        m_pInFloat.reset(new float[samples]);
        m_pOutFloat.reset(new float[samples]);
        m_pOutBytes.reset(new uint8_t[samples * static_cast<size_t>(converter->bytesPerSample)]);
        m_nSpliceFrames = std::max(format.nSamplesPerSec / 1000 * kSpliceMs, 16);
        m_nSearchFrames = std::max(format.nSamplesPerSec / 1000 * kSplicePrimeMs, 16);
        m_nBackFrames = std::max(format.nSamplesPerSec / 1000 * kSpliceBackMs, 16);
        m_nMatchFrames = std::max(format.nSamplesPerSec / 1000 * kSpliceMatchMs, m_nSpliceFrames);
        const auto channels = static_cast<size_t>(format.nChannels);
        m_pHistory.reset(new uint8_t[static_cast<size_t>(m_nSearchFrames) * channels *
                                     static_cast<size_t>(converter->bytesPerSample)]);
        m_pLookahead.reset(new float[static_cast<size_t>(m_nMatchFrames) * channels]);
        m_pSpliceFloat.reset(
            new float[static_cast<size_t>(m_nBackFrames + 2 * m_nMatchFrames + m_nSpliceFrames) *
                      channels]);
        if (kept) {
            SetUpEngine(*kept, format.nSamplesPerSec, format.nChannels, options);
            m_pSoundTouch = std::move(kept);
        } else {
            m_pSoundTouch = CreateEngine(format.nSamplesPerSec, format.nChannels, options);
        }
        m_bEngineSilent = true;
        m_pConverter = converter;
        m_Format = format;
        // At most 30 s * 192000 Hz * 16 * 4 bytes: well inside int32.
        m_nRingLimit = kRingSeconds * format.nSamplesPerSec * BlockAlign();
        return EngineResult::Ok;
    } catch (...) {
        Free();
        return EngineResult::Failed;
    }
}

// Runs call on the engine. Whatever it throws is caught: SoundTouch is not exception-safe (its
// sample buffers record the new size before allocating it), so the engine is replaced.
template <class Call> bool CSpeedProcessor::EngineCall(Call call) {
    try {
        call(*m_pSoundTouch);
        return true;
    } catch (...) {
        RebuildEngine();
        return false;
    }
}

// Feeds count frames of input to the engine; false when it failed.
bool CSpeedProcessor::FeedEngine(const float* frames, int32_t count) {
    if (!EngineCall([&](soundtouch::SoundTouch& st) {
            st.putSamples(frames, static_cast<unsigned>(count));
        })) {
        return false;
    }
    m_bEngineSilent = false;
    return true;
}

// A fresh, empty engine with the old one's settings and the stored speed values; Unconfigured
// when even that fails.
void CSpeedProcessor::RebuildEngine() noexcept {
    const soundtouch::SoundTouch& old = *m_pSoundTouch;
    const EngineOptions options = {old.getSetting(SETTING_USE_QUICKSEEK) != 0,
                                   old.getSetting(SETTING_USE_AA_FILTER) != 0,
                                   old.getSetting(SETTING_AA_FILTER_LENGTH),
                                   {old.getSetting(SETTING_SEQUENCE_MS),
                                    old.getSetting(SETTING_SEEKWINDOW_MS),
                                    old.getSetting(SETTING_OVERLAP_MS)}};
    m_pSoundTouch.reset();
    try {
        m_pSoundTouch = CreateEngine(m_Format.nSamplesPerSec, m_Format.nChannels, options);
        m_bEngineSilent = true;
        m_pSoundTouch->setTempoChange(static_cast<double>(m_nTempoChange));
        m_pSoundTouch->setRateChange(static_cast<double>(m_nRateChange));
        m_pSoundTouch->setPitchSemiTones(static_cast<int>(m_nPitchSemiTones));
    } catch (...) {
        Free();
    }
}

// Common tail of the change operations; the caller has checked the engine and stored the value.
// No flush: the engine's flush() also pushes out the output owed for earlier flushes' silence,
// so a burst of changes would queue seconds of it.
template <class Call> EngineResult CSpeedProcessor::ApplyChange(Call call) {
    const bool active = m_nPitchSemiTones != 0 || m_nTempoChange != 0 || m_nRateChange != 0;
    // While inactive the filter bypassed the engine: what it still holds is stale.
    const bool activating = active && !m_bActive;
    m_bActive = active;
    if (activating) {
        m_nHistoryFrames = 0;
    }
    const bool done = EngineCall([&](soundtouch::SoundTouch& st) {
        if (activating) {
            st.clear();
            m_bEngineSilent = true;
        }
        call(st);
    });
    return done ? EngineResult::Ok : EngineResult::Failed;
}

EngineResult CSpeedProcessor::ChangeTempo(int32_t percent) {
    if (!m_pSoundTouch || !IsInSpeedEnvelope(percent, m_nRateChange, m_nPitchSemiTones)) {
        return EngineResult::Refused;
    }
    m_nTempoChange = percent;
    return ApplyChange(
        [percent](soundtouch::SoundTouch& st) { st.setTempoChange(static_cast<double>(percent)); });
}

EngineResult CSpeedProcessor::ChangeRate(int32_t percent) {
    if (!m_pSoundTouch || !IsInSpeedEnvelope(m_nTempoChange, percent, m_nPitchSemiTones)) {
        return EngineResult::Refused;
    }
    m_nRateChange = percent;
    return ApplyChange(
        [percent](soundtouch::SoundTouch& st) { st.setRateChange(static_cast<double>(percent)); });
}

EngineResult CSpeedProcessor::ChangePitchSemiTones(int32_t semitones) {
    if (!m_pSoundTouch || !IsInSpeedEnvelope(m_nTempoChange, m_nRateChange, semitones)) {
        return EngineResult::Refused;
    }
    m_nPitchSemiTones = semitones;
    return ApplyChange([semitones](soundtouch::SoundTouch& st) {
        st.setPitchSemiTones(static_cast<int>(semitones));
    });
}

EngineResult CSpeedProcessor::ChangeSpeed(int32_t tempoPercent, int32_t ratePercent,
                                          int32_t pitchSemiTones) {
    if (!m_pSoundTouch || !IsInSpeedEnvelope(tempoPercent, ratePercent, pitchSemiTones)) {
        return EngineResult::Refused;
    }
    m_nTempoChange = tempoPercent;
    m_nRateChange = ratePercent;
    m_nPitchSemiTones = pitchSemiTones;
    // Between these calls the engine only recomputes its parameters; it processes nothing.
    return ApplyChange([=](soundtouch::SoundTouch& st) {
        st.setTempoChange(static_cast<double>(tempoPercent));
        st.setRateChange(static_cast<double>(ratePercent));
        st.setPitchSemiTones(static_cast<int>(pitchSemiTones));
    });
}

EngineResult CSpeedProcessor::ChangeSetting(int32_t settingId, int32_t value) {
    if (!m_pSoundTouch) {
        return EngineResult::Refused;
    }
    switch (settingId) {
    case SETTING_USE_AA_FILTER:
        value = value != 0 && m_Format.nChannels <= kMaxAntiAliasChannels ? 1 : 0;
        break;
    case SETTING_USE_QUICKSEEK:
        value = value != 0 ? 1 : 0;
        break;
    case SETTING_AA_FILTER_LENGTH:
        // The engine takes the length even while the filter is off, and throws on a bad one.
        if (!IsUsableAntiAliasLength(value)) {
            value = kFallbackAntiAliasLength;
        }
        break;
    case SETTING_SEQUENCE_MS:
    case SETTING_SEEKWINDOW_MS:
    case SETTING_OVERLAP_MS:
        if (!IsUsableTuningMs(value)) {
            return EngineResult::Refused;
        }
        break;
    default:
        return EngineResult::Refused;
    }
    return ApplyChange(
        [settingId, value](soundtouch::SoundTouch& st) { st.setSetting(settingId, value); });
}

EngineResult CSpeedProcessor::ChangeTuning(const StretchTuning& tuning) {
    EngineResult result = ChangeSetting(SETTING_SEQUENCE_MS, tuning.sequenceMs);
    if (result == EngineResult::Ok) {
        result = ChangeSetting(SETTING_SEEKWINDOW_MS, tuning.seekWindowMs);
    }
    if (result == EngineResult::Ok) {
        result = ChangeSetting(SETTING_OVERLAP_MS, tuning.overlapMs);
    }
    return result;
}

EngineResult CSpeedProcessor::ProcessInput(const uint8_t* data, int32_t byteCount) {
    if (!m_pSoundTouch || byteCount < 0 || (byteCount > 0 && data == nullptr)) {
        return EngineResult::Refused;
    }
    const int32_t blockAlign = BlockAlign();
    const int32_t frames = byteCount / blockAlign; // a trailing partial frame is dropped
    const int32_t piece = InputPieceFrames(OutputPerInputRatio());
    bool moved = false;
    int32_t done = 0;
    do {
        const int32_t chunk = std::min(frames - done, piece);
        if (chunk > 0) {
            m_pConverter->toFloat(data + static_cast<size_t>(done) * blockAlign, m_pInFloat.get(),
                                  chunk * m_Format.nChannels);
            if (m_Format.bFloat) {
                SanitizeFloatInput(m_pInFloat.get(), chunk * m_Format.nChannels);
            }
            if (!FeedEngine(m_pInFloat.get(), chunk)) {
                return EngineResult::Failed;
            }
            done += chunk;
        }
        if (!MoveEngineOutputToRing(moved)) {
            return EngineResult::Failed;
        }
    } while (done < frames);
    KeepHistory(data, frames);
    return moved ? EngineResult::Ok : EngineResult::NoOutput;
}

// Moves all output the engine has ready into the ring; sets moved when any was. False when the
// ring cannot grow (the rest then stays in the engine) or the engine failed.
bool CSpeedProcessor::MoveEngineOutputToRing(bool& moved) {
    for (;;) {
        const EngineResult result = MoveChunkToRing();
        if (result != EngineResult::Ok) {
            return result == EngineResult::NoOutput;
        }
        moved = true;
    }
}

// Moves at most one chunk of what the engine has ready into the ring, in the stream's format.
// NoOutput when it has nothing; Failed when the ring cannot grow or the engine failed.
EngineResult CSpeedProcessor::MoveChunkToRing() {
    const unsigned available = m_pSoundTouch->numSamples();
    if (available == 0) {
        return EngineResult::NoOutput;
    }
    const auto frames =
        static_cast<int32_t>(std::min(available, static_cast<unsigned>(kChunkFrames)));
    if (!RingReserve(frames * BlockAlign())) {
        return EngineResult::Failed;
    }
    unsigned received = 0;
    if (!EngineCall([&](soundtouch::SoundTouch& st) {
            received = st.receiveSamples(m_pOutFloat.get(), static_cast<unsigned>(frames));
        })) {
        return EngineResult::Failed;
    }
    if (received == 0) {
        return EngineResult::NoOutput;
    }
    const auto count = static_cast<int32_t>(received);
    if (m_bSplicing) {
        RouteOutput(m_pOutFloat.get(), count);
        return EngineResult::Ok;
    }
    int32_t count0 = count;
    if (m_nDiscard > 0) {
        const auto drop = static_cast<int32_t>(std::min<int64_t>(count0, m_nDiscard));
        m_nDiscard -= drop;
        count0 -= drop;
        std::memmove(m_pOutFloat.get(),
                     m_pOutFloat.get() + static_cast<size_t>(drop) * m_Format.nChannels,
                     static_cast<size_t>(count0) * m_Format.nChannels * sizeof(float));
        if (count0 == 0) {
            return EngineResult::Ok;
        }
    }
    if (m_nFadeDone < m_nFadeFrames) {
        // A fresh engine's first output, faded in over the old one's last.
        const int32_t n = std::min(count0, m_nFadeFrames - m_nFadeDone);
        const int32_t channels = m_Format.nChannels;
        for (int32_t i = 0; i < n; ++i) {
            const float w =
                static_cast<float>(m_nFadeDone + i + 1) / static_cast<float>(m_nFadeFrames + 1);
            for (int32_t c = 0; c < channels; ++c) {
                const size_t k = static_cast<size_t>(i) * channels + c;
                const float from = m_pLookahead[static_cast<size_t>(m_nFadeDone) * channels + k];
                m_pOutFloat[k] = from + (m_pOutFloat[k] - from) * w;
            }
        }
        m_nFadeDone += n;
    }
    m_pConverter->fromFloat(m_pOutFloat.get(), m_pOutBytes.get(), count0 * m_Format.nChannels);
    RingAppend(m_pOutBytes.get(), count0 * BlockAlign());
    return EngineResult::Ok;
}

int32_t CSpeedProcessor::ReadOutput(uint8_t* dest, int32_t maxBytes) {
    if (dest == nullptr || maxBytes <= 0 || m_nRingCount <= 0 || m_nRingRead < 0) {
        return 0;
    }
    const int32_t k = std::min(m_nRingCount, maxBytes);
    if (m_nRingRead + k > m_nRingCapacity) {
        const int32_t first = m_nRingCapacity - m_nRingRead;
        std::memcpy(dest, m_pRing.get() + m_nRingRead, static_cast<size_t>(first));
        std::memcpy(dest + first, m_pRing.get(), static_cast<size_t>(k - first));
        m_nRingRead = m_nRingRead + k - m_nRingCapacity;
    } else {
        // May come to rest exactly at the capacity; the next read then wraps with an empty piece.
        std::memcpy(dest, m_pRing.get() + m_nRingRead, static_cast<size_t>(k));
        m_nRingRead += k;
    }
    m_nRingCount -= k;
    if (m_nRingCount <= 0) {
        RingDrop();
    }
    return k;
}

EngineResult CSpeedProcessor::Drain() {
    if (!m_pSoundTouch) {
        return EngineResult::Refused;
    }
    bool moved = false;
    // flush() fed silence and counts the output owed for it; clear() starts the next stream
    // afresh.
    const bool done = EngineCall([](soundtouch::SoundTouch& st) { st.flush(); }) &&
                      MoveEngineOutputToRing(moved) &&
                      EngineCall([](soundtouch::SoundTouch& st) { st.clear(); });
    if (!done) {
        return EngineResult::Failed;
    }
    m_bEngineSilent = true;
    return m_nRingCount > 0 ? EngineResult::Ok : EngineResult::NoOutput;
}

double CSpeedProcessor::OutputPerInputRatio() {
    if (!m_pSoundTouch) {
        return 1.0;
    }
    const double ratio = m_pSoundTouch->getInputOutputSampleRatio();
    return ratio > 0.0 ? ratio : 1.0;
}

EngineResult CSpeedProcessor::ReadTail(uint8_t* dest, int32_t maxBytes, int32_t& bytesRead) {
    bytesRead = 0;
    if (!m_pSoundTouch || dest == nullptr || maxBytes <= 0) {
        return EngineResult::Refused;
    }
    // Silence enough for this piece at the current ratio, plus a minute for the pipeline to fill
    // (its length follows the stretch tuning). An engine that still yields nothing is given up.
    const double pieceFrames =
        static_cast<double>(maxBytes / BlockAlign() + 1) / OutputPerInputRatio();
    int64_t silenceBudget = static_cast<int64_t>(std::min(pieceFrames, 1e12)) +
                            static_cast<int64_t>(kTailPipelineSeconds) * m_Format.nSamplesPerSec;
    std::fill_n(m_pInFloat.get(), static_cast<size_t>(kChunkFrames) * m_Format.nChannels, 0.0f);
    bytesRead = ReadOutput(dest, maxBytes);
    // An engine that holds nothing makes nothing but silence of the silence: the tail is silence
    // from here on, unless a fresh engine's first output is still to fade in over the old one's.
    const bool silent = m_bEngineSilent && m_nFadeDone >= m_nFadeFrames;
    while (bytesRead < maxBytes) {
        const EngineResult pulled = silent ? EngineResult::NoOutput : PullTailChunk(silenceBudget);
        if (pulled == EngineResult::Failed) {
            return EngineResult::Failed;
        }
        // Nothing more from the engine: the rest of the piece is silence.
        if (pulled == EngineResult::NoOutput && !AppendSilence(kChunkFrames)) {
            return EngineResult::Failed;
        }
        bytesRead += ReadOutput(dest + bytesRead, maxBytes - bytesRead);
    }
    return EngineResult::Ok;
}

// Moves at most one chunk of the engine's output into the ring, first feeding it silence until it
// has some (within silenceBudget frames). NoOutput when the engine gave nothing; Failed when it or
// the ring failed (an engine that failed may be gone).
//
// The silence goes in pieces that start small (at a slow tempo every frame yields many) and
// double while the engine yields nothing: at a fast tempo it wants seconds of input first, and
// it grows its input buffer by each piece's size, copying what it holds, so small pieces alone
// would make that quadratic. m_pInFloat holds a chunk of silence; m_pTailSilence more, made the
// first time a stream's tail needs it and kept until Free.
EngineResult CSpeedProcessor::PullTailChunk(int64_t& silenceBudget) {
    if (!m_pSoundTouch) {
        return EngineResult::Failed;
    }
    int32_t silenceFrames = kMinTailSilenceFrames;
    unsigned available = m_pSoundTouch->numSamples();
    while (available == 0) {
        if (silenceBudget <= 0) {
            return EngineResult::NoOutput;
        }
        const float* silence = m_pInFloat.get();
        if (silenceFrames > kChunkFrames) {
            if (!m_pTailSilence) {
                m_pTailSilence.reset(static_cast<float*>(
                    std::calloc(static_cast<size_t>(kMaxTailSilenceFrames) * m_Format.nChannels,
                                sizeof(float))));
            }
            if (m_pTailSilence) {
                silence = m_pTailSilence.get();
            } else {
                silenceFrames = kChunkFrames;
            }
        }
        if (!EngineCall([&](soundtouch::SoundTouch& st) {
                st.putSamples(silence, static_cast<unsigned>(silenceFrames));
            })) {
            return EngineResult::Failed;
        }
        silenceBudget -= silenceFrames;
        available = m_pSoundTouch->numSamples();
        silenceFrames = std::min(2 * silenceFrames, kMaxTailSilenceFrames);
    }
    return MoveChunkToRing();
}

// At the end of a stretch the input is fed in pieces of about a chunk's worth of output. Sped up,
// the engine wants seconds of input before each sequence and grows its input buffer by each
// piece, copying all it holds: chunk-sized pieces would make that quadratic (seconds of copying
// at 50 times and 192 kHz). Its output does not depend on how its input is cut, and what it
// makes beyond what the splice takes is dropped. m_pFeedFloat is made the first time a stretch
// ends sped up and kept until Free; without it the pieces stay chunks.
int32_t CSpeedProcessor::FeedPieceFrames(double outPerIn) {
    if (!(outPerIn < 1.0)) {
        return InputPieceFrames(outPerIn);
    }
    const double frames = std::min(static_cast<double>(kMaxFeedFrames), kChunkFrames / outPerIn);
    const int32_t piece = static_cast<int32_t>(frames) / kChunkFrames * kChunkFrames;
    if (piece <= kChunkFrames) {
        return kChunkFrames;
    }
    if (!m_pFeedFloat) {
        m_pFeedFloat.reset(
            new (std::nothrow) float[static_cast<size_t>(kMaxFeedFrames) * m_Format.nChannels]);
    }
    return m_pFeedFloat ? piece : kChunkFrames;
}

float* CSpeedProcessor::FeedBuffer(int32_t frames) noexcept {
    return frames > kChunkFrames ? m_pFeedFloat.get() : m_pInFloat.get();
}

// Appends frames of the format's silence (128 for unsigned 8-bit, else 0) to the ring.
bool CSpeedProcessor::AppendSilence(int32_t frames) {
    if (!m_pOutFloat || !RingReserve(frames * BlockAlign())) {
        return false;
    }
    std::fill_n(m_pOutFloat.get(), static_cast<size_t>(frames) * m_Format.nChannels, 0.0f);
    m_pConverter->fromFloat(m_pOutFloat.get(), m_pOutBytes.get(), frames * m_Format.nChannels);
    RingAppend(m_pOutBytes.get(), frames * BlockAlign());
    return true;
}

void CSpeedProcessor::Clear() {
    RingDrop();
    m_nDiscard = 0;
    m_nFadeFrames = 0;
    m_nFadeDone = 0;
    m_nHistoryFrames = 0;
    m_nLookahead = 0;
    if (m_pSoundTouch && EngineCall([](soundtouch::SoundTouch& st) { st.clear(); })) {
        m_bEngineSilent = true;
    }
}

void CSpeedProcessor::Free() {
    m_bActive = false;
    m_Format = PcmFormat{};
    m_nPitchSemiTones = 0;
    m_nTempoChange = 0;
    m_nRateChange = 0;
    m_pConverter = nullptr;
    m_pInFloat.reset();
    m_pOutFloat.reset();
    m_pOutBytes.reset();
    m_pTailSilence.reset();
    m_pFeedFloat.reset();
    m_pHistory.reset();
    m_pLookahead.reset();
    m_pSpliceFloat.reset();
    m_nHistoryFrames = 0;
    m_nLookahead = 0;
    m_bSplicing = false;
    m_nSpliceOwed = 0;
    m_nFadeFrames = 0;
    m_nFadeDone = 0;
    m_nDiscard = 0;
    m_bEngineSilent = true;
    m_pRing.reset();
    m_nRingLimit = 0;
    m_nRingCapacity = 0;
    m_nRingCount = 0;
    m_nRingRead = -1;
    m_pSoundTouch.reset();
}

int32_t CSpeedProcessor::BufferedBytes() const {
    return m_nRingCount;
}

int32_t CSpeedProcessor::BlockAlign() const {
    return m_pConverter ? m_Format.nChannels * m_pConverter->bytesPerSample : 0;
}

int32_t CSpeedProcessor::RingCapacity() const {
    return m_nRingCapacity;
}

// Makes room for an append of bytes (after the bound's trimming). Growth is geometric (at least
// doubling, from 64 KiB) up to the bound: growing by exactly what is needed would copy the whole
// ring on every append. The held bytes move to the start of the new storage. All-or-nothing:
// false, with the ring as it was, when the allocation fails.
bool CSpeedProcessor::RingReserve(int32_t bytes) {
    const int32_t needed = std::min(m_nRingCount + bytes, m_nRingLimit);
    if (m_nRingCapacity >= needed) {
        return true;
    }
    int64_t capacity =
        std::max<int64_t>(2 * static_cast<int64_t>(m_nRingCapacity), kRingMinCapacity);
    capacity = std::max<int64_t>(std::min<int64_t>(capacity, m_nRingLimit), needed);
    std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]);
    if (!storage) {
        return false;
    }
    if (m_nRingRead >= 0) {
        const int32_t first = std::min(m_nRingCount, m_nRingCapacity - m_nRingRead);
        std::memcpy(storage.get(), m_pRing.get() + m_nRingRead, static_cast<size_t>(first));
        std::memcpy(storage.get() + first, m_pRing.get(),
                    static_cast<size_t>(m_nRingCount - first));
        m_nRingRead = 0;
    }
    m_pRing = std::move(storage);
    m_nRingCapacity = static_cast<int32_t>(capacity);
    return true;
}

// Appends bytes (whole frames) from src into room made by RingReserve. Past the bound the oldest
// whole frames go first, from the ring and then from src: the amount dropped is a multiple of the
// frame size, so a reader that stopped inside a frame keeps its place within the frame.
void CSpeedProcessor::RingAppend(const uint8_t* src, int32_t bytes) {
    const int32_t excess = m_nRingCount + bytes - m_nRingLimit;
    if (excess > 0) {
        const int32_t blockAlign = BlockAlign();
        const int32_t drop = (excess + blockAlign - 1) / blockAlign * blockAlign;
        const int32_t fromRing = std::min(drop, m_nRingCount);
        RingDiscard(fromRing);
        src += drop - fromRing;
        bytes -= drop - fromRing;
    }
    if (m_nRingRead < 0) {
        std::memcpy(m_pRing.get(), src, static_cast<size_t>(bytes));
        m_nRingRead = 0;
        m_nRingCount = bytes;
        return;
    }
    int32_t w = m_nRingRead + m_nRingCount;
    if (w > m_nRingCapacity) {
        w -= m_nRingCapacity;
    }
    if (w + bytes > m_nRingCapacity) {
        const int32_t first = m_nRingCapacity - w;
        std::memcpy(m_pRing.get() + w, src, static_cast<size_t>(first));
        std::memcpy(m_pRing.get(), src + first, static_cast<size_t>(bytes - first));
    } else {
        std::memcpy(m_pRing.get() + w, src, static_cast<size_t>(bytes));
    }
    m_nRingCount += bytes;
}

void CSpeedProcessor::RingDiscard(int32_t bytes) {
    if (bytes >= m_nRingCount) {
        RingDrop();
        return;
    }
    m_nRingCount -= bytes;
    m_nRingRead += bytes;
    if (m_nRingRead >= m_nRingCapacity) {
        m_nRingRead -= m_nRingCapacity;
    }
}

// Empties the ring; its storage is kept.
void CSpeedProcessor::RingDrop() {
    m_nRingRead = -1;
    m_nRingCount = 0;
}

// Keeps the last m_nSearchFrames frames fed, for the search of a splice that ends the stretch.
void CSpeedProcessor::KeepHistory(const uint8_t* data, int32_t frames) {
    if (!m_pHistory || frames <= 0) {
        return;
    }
    const int32_t blockAlign = BlockAlign();
    const int32_t keepOld = std::max(std::min(m_nHistoryFrames, m_nSearchFrames - frames), 0);
    const int32_t fromData = std::min(frames, m_nSearchFrames);
    if (keepOld > 0) {
        std::memmove(m_pHistory.get(),
                     m_pHistory.get() +
                         static_cast<size_t>(m_nHistoryFrames - keepOld) * blockAlign,
                     static_cast<size_t>(keepOld) * blockAlign);
    }
    std::memcpy(m_pHistory.get() + static_cast<size_t>(keepOld) * blockAlign,
                data + static_cast<size_t>(frames - fromData) * blockAlign,
                static_cast<size_t>(fromData) * blockAlign);
    m_nHistoryFrames = keepOld + fromData;
}

// While a stretch ends: the output the engine owes goes to the ring, the next m_nMatchFrames to
// the lookahead, anything past that nowhere (the engine is cleared after the splice).
void CSpeedProcessor::RouteOutput(const float* frames, int32_t count) {
    const int32_t channels = m_Format.nChannels;
    const auto toRing = static_cast<int32_t>(std::min<int64_t>(count, m_nSpliceOwed));
    if (toRing > 0) {
        m_pConverter->fromFloat(frames, m_pOutBytes.get(), toRing * channels);
        RingAppend(m_pOutBytes.get(), toRing * BlockAlign());
        m_nSpliceOwed -= toRing;
    }
    const int32_t take = std::min(count - toRing, m_nMatchFrames - m_nLookahead);
    if (take > 0) {
        std::memcpy(m_pLookahead.get() + static_cast<size_t>(m_nLookahead) * channels,
                    frames + static_cast<size_t>(toRing) * channels,
                    static_cast<size_t>(take) * channels * sizeof(float));
        m_nLookahead += take;
    }
}

// Crossfades the lookahead into the input (history, then data) where they match best and appends
// the crossfade to the ring; spliceEnd: the frame of history + data that follows it.
EngineResult CSpeedProcessor::SpliceInto(const uint8_t* data, int32_t frames, int32_t& spliceEnd) {
    const int32_t channels = m_Format.nChannels;
    const int32_t blockAlign = BlockAlign();
    spliceEnd = m_nHistoryFrames;
    const int32_t n = std::min(m_nSpliceFrames, frames);
    if (n <= 0) {
        return EngineResult::Ok;
    }
    // Layout of the scratch: the ring's tail and the lookahead, the input's start, the mix.
    float* cand = m_pSpliceFloat.get();
    float* input = cand + static_cast<size_t>(m_nBackFrames + m_nMatchFrames) * channels;
    float* mixed = input + static_cast<size_t>(m_nMatchFrames) * channels;
    const int32_t m = std::min(m_nMatchFrames, frames);
    m_pConverter->toFloat(data, input, m * channels);
    if (m_Format.bFloat) {
        SanitizeFloatInput(input, m * channels);
    }
    const float* from = m_pLookahead.get();
    // Within each of its sequences the engine copies its input at its own pace. Slowed down, its
    // output runs ahead of its count: the input is joined where the output really reaches it,
    // found in the output's last kSpliceBackMs and the lookahead (what comes after it in the
    // ring is dropped: it is the input's own audio, stretched). Sped up, it runs behind and would
    // skip forward to its count at its next sequence anyway; at another pitch its output matches
    // the input nowhere: either way the input is joined where the count says.
    if (SplicesBySearch()) {
        const int32_t back = std::min(m_nRingCount / blockAlign, m_nBackFrames);
        RingPeekTail(cand, back);
        std::memcpy(cand + static_cast<size_t>(back) * channels, m_pLookahead.get(),
                    static_cast<size_t>(m_nMatchFrames) * channels * sizeof(float));
        // Within a sequence the output is the input itself: a weaker match is no join (a window
        // across two sequences, or audio too like noise) and leaves the output as it is.
        const int32_t d = FindSpliceOffset(input, m, cand, back + m_nMatchFrames, channels,
                                           back + m_nMatchFrames - m, kMinSpliceMatch);
        if (d < back) {
            RingDiscardTail((back - d) * blockAlign);
        } else if (d > back) {
            // The engine is behind: the lookahead up to the join goes out as it is.
            if (!AppendFloatFrames(m_pLookahead.get(), d - back)) {
                return EngineResult::Failed;
            }
        }
        from = cand + static_cast<size_t>(d) * channels;
    }
    Crossfade(from, input, mixed, n, channels);
    if (!AppendFloatFrames(mixed, n)) {
        return EngineResult::Failed;
    }
    spliceEnd = m_nHistoryFrames + n;
    return EngineResult::Ok;
}

// Appends frames of float audio to the ring in the stream's format.
bool CSpeedProcessor::AppendFloatFrames(const float* frames, int32_t count) {
    if (!RingReserve(count * BlockAlign())) {
        return false;
    }
    for (int32_t done = 0; done < count;) {
        const int32_t piece = std::min(count - done, kChunkFrames);
        m_pConverter->fromFloat(frames + static_cast<size_t>(done) * m_Format.nChannels,
                                m_pOutBytes.get(), piece * m_Format.nChannels);
        RingAppend(m_pOutBytes.get(), piece * BlockAlign());
        done += piece;
    }
    return true;
}

// The ring's last frames as floats, without taking them.
void CSpeedProcessor::RingPeekTail(float* dst, int32_t frames) {
    const int32_t bytes = frames * BlockAlign();
    if (bytes <= 0 || m_nRingRead < 0) {
        return;
    }
    int32_t at = m_nRingRead + m_nRingCount - bytes;
    if (at >= m_nRingCapacity) {
        at -= m_nRingCapacity;
    }
    const int32_t first = std::min(bytes, m_nRingCapacity - at);
    const int32_t bytesPerSample = m_pConverter->bytesPerSample;
    m_pConverter->toFloat(m_pRing.get() + at, dst, first / bytesPerSample);
    m_pConverter->toFloat(m_pRing.get(), dst + first / bytesPerSample,
                          (bytes - first) / bytesPerSample);
    if (m_Format.bFloat) {
        SanitizeFloatInput(dst, frames * m_Format.nChannels);
    }
}

// Drops the ring's newest bytes (whole frames).
void CSpeedProcessor::RingDiscardTail(int32_t bytes) {
    if (bytes >= m_nRingCount) {
        RingDrop();
        return;
    }
    m_nRingCount -= bytes;
}

EngineResult CSpeedProcessor::FinishStretch(const uint8_t* data, int32_t byteCount,
                                            int64_t owedFrames, const int32_t* pNext,
                                            int32_t& dataUsed) {
    dataUsed = 0;
    if (!m_pSoundTouch || byteCount < 0 || (byteCount > 0 && data == nullptr) ||
        (pNext && !IsInSpeedEnvelope(pNext[0], pNext[1], pNext[2]))) {
        return EngineResult::Refused;
    }
    const int32_t blockAlign = BlockAlign();
    const int32_t frames = byteCount / blockAlign;
    const double outPerIn = OutputPerInputRatio();
    m_bSplicing = true;
    m_nSpliceOwed = std::max<int64_t>(owedFrames, 0);
    m_nLookahead = 0;
    bool moved = false;
    bool ok = MoveEngineOutputToRing(moved);
    // (Without input, no buffer for larger pieces is made.)
    const int32_t piece = frames > 0 ? FeedPieceFrames(outPerIn) : kChunkFrames;
    float* const feed = FeedBuffer(piece);
    // The input itself first: what the engine makes of it continues the audio it owes.
    for (int32_t done = 0;
         ok && done < frames && (m_nSpliceOwed > 0 || m_nLookahead < m_nMatchFrames);) {
        const int32_t chunk = std::min(frames - done, piece);
        m_pConverter->toFloat(data + static_cast<size_t>(done) * blockAlign, feed,
                              chunk * m_Format.nChannels);
        if (m_Format.bFloat) {
            SanitizeFloatInput(feed, chunk * m_Format.nChannels);
        }
        ok = FeedEngine(feed, chunk) && MoveEngineOutputToRing(moved);
        done += chunk;
    }
    // An input too short to push the rest out is mirrored back and forth after itself, so that
    // the engine's last sequences, which reach past the change, find audio like it there and
    // not silence (whose overlap would fade the owed output out).
    const auto wanted = [this] { return m_nSpliceOwed > 0 || m_nLookahead < m_nMatchFrames; };
    const int32_t channels = m_Format.nChannels;
    const int64_t mirrorBudget = static_cast<int64_t>(std::min(
                                     static_cast<double>(m_nSpliceOwed + m_nMatchFrames) / outPerIn,
                                     double(kMirrorSeconds) * m_Format.nSamplesPerSec)) +
                                 m_Format.nSamplesPerSec / 10;
    if (frames > 0) {
        // As many turns as chunk by chunk within each turn, in pieces that may span turns.
        const int64_t total = MirrorLength(mirrorBudget, frames, kChunkFrames);
        for (int64_t fed = 0; ok && fed < total && wanted();) {
            const auto chunk = static_cast<int32_t>(std::min<int64_t>(total - fed, piece));
            FillMirrored(fed, frames, chunk, channels, feed,
                         [&](int32_t first, int32_t count, float* to) {
                             m_pConverter->toFloat(data + static_cast<size_t>(first) * blockAlign,
                                                   to, count * channels);
                         });
            if (m_Format.bFloat) {
                SanitizeFloatInput(feed, chunk * channels);
            }
            ok = FeedEngine(feed, chunk) && MoveEngineOutputToRing(moved);
            fed += chunk;
        }
    }
    // Then silence, for no input at all (or an engine that still wants more). An engine that
    // holds nothing would make silence of it, after seconds of input at a fast speed: what it
    // owes is silence, and so is the lookahead (filled below).
    while (ok && m_bEngineSilent && m_nSpliceOwed > 0) {
        const auto silence = static_cast<int32_t>(std::min<int64_t>(m_nSpliceOwed, kChunkFrames));
        ok = AppendSilence(silence);
        m_nSpliceOwed -= silence;
    }
    if (ok && !m_bEngineSilent && (m_nSpliceOwed > 0 || m_nLookahead < m_nMatchFrames)) {
        const double needed = static_cast<double>(m_nSpliceOwed + m_nMatchFrames) / outPerIn;
        int64_t budget = static_cast<int64_t>(std::min(needed, 1e12)) +
                         static_cast<int64_t>(kTailPipelineSeconds) * m_Format.nSamplesPerSec;
        std::fill_n(m_pInFloat.get(), static_cast<size_t>(kChunkFrames) * m_Format.nChannels, 0.0f);
        while (ok && (m_nSpliceOwed > 0 || m_nLookahead < m_nMatchFrames)) {
            const EngineResult pulled = PullTailChunk(budget);
            ok = pulled != EngineResult::Failed;
            if (pulled == EngineResult::NoOutput) {
                break;
            }
        }
    }
    m_bSplicing = false;
    m_nSpliceOwed = 0;
    if (!ok || !m_pSoundTouch) {
        return EngineResult::Failed;
    }
    // An engine that gave nothing more fades in from silence.
    std::fill(m_pLookahead.get() + static_cast<size_t>(m_nLookahead) * m_Format.nChannels,
              m_pLookahead.get() + static_cast<size_t>(m_nMatchFrames) * m_Format.nChannels, 0.0f);
    // Into a copy, the crossfade is made now; into a fresh engine, with its first output (it
    // starts on the input that follows what the old one was fed before the change).
    int32_t spliceEnd = m_nHistoryFrames;
    if (pNext) {
        m_nFadeFrames = m_nSpliceFrames;
        m_nFadeDone = 0;
    } else if (SpliceInto(data, frames, spliceEnd) != EngineResult::Ok) {
        return EngineResult::Failed;
    }
    // What follows the crossfade: history past it (when the engine was behind), then the data.
    const int32_t history = m_nHistoryFrames;
    const int32_t historyFrom = std::min(spliceEnd, history);
    const int32_t dataFrom = std::max(spliceEnd - history, 0);
    const int32_t next[3] = {pNext ? pNext[0] : 0, pNext ? pNext[1] : 0, pNext ? pNext[2] : 0};
    m_nTempoChange = next[0];
    m_nRateChange = next[1];
    m_nPitchSemiTones = next[2];
    m_bActive = next[0] != 0 || next[1] != 0 || next[2] != 0;
    m_nHistoryFrames = 0;
    if (!EngineCall([&](soundtouch::SoundTouch& st) {
            st.clear();
            m_bEngineSilent = true;
            st.setTempoChange(static_cast<double>(next[0]));
            st.setRateChange(static_cast<double>(next[1]));
            st.setPitchSemiTones(static_cast<int>(next[2]));
        })) {
        return EngineResult::Failed;
    }
    if (!m_bActive) {
        const int32_t cbHistory = (history - historyFrom) * blockAlign;
        const int32_t cbData = (frames - dataFrom) * blockAlign;
        if (!RingReserve(cbHistory + cbData)) {
            return EngineResult::Failed;
        }
        // The history moves out of its buffer before the data goes in after it.
        if (cbHistory > 0) {
            RingAppend(m_pHistory.get() + static_cast<size_t>(historyFrom) * blockAlign, cbHistory);
        }
        if (cbData > 0) {
            RingAppend(data + static_cast<size_t>(dataFrom) * blockAlign, cbData);
        }
        dataUsed = frames;
        return EngineResult::Ok;
    }
    // The fresh engine starts on the input before the change, and what it makes of that is
    // dropped. Its first sequence is a plain copy of its input from the start (no seek, no
    // overlap), resampled by the effective rate: the input before the change fills exactly
    // history / rate of its output.
    for (int32_t done = 0; done < history;) {
        const int32_t chunk = std::min(history - done, kChunkFrames);
        m_pConverter->toFloat(m_pHistory.get() + static_cast<size_t>(done) * blockAlign,
                              m_pInFloat.get(), chunk * channels);
        if (m_Format.bFloat) {
            SanitizeFloatInput(m_pInFloat.get(), chunk * channels);
        }
        if (!FeedEngine(m_pInFloat.get(), chunk)) {
            return EngineResult::Failed;
        }
        done += chunk;
    }
    m_nDiscard = std::llround(history / EffectiveRate(m_nRateChange, m_nPitchSemiTones));
    // The data goes on through the caller, slice by slice like any input.
    dataUsed = 0;
    return EngineResult::Ok;
}

double CSpeedProcessor::EffectiveRate(int32_t ratePercent, int32_t pitchSemiTones) {
    return (1.0 + ratePercent / 100.0) * std::exp2(pitchSemiTones / 12.0);
}

int64_t CSpeedProcessor::InputToFinish(int64_t owedFrames) {
    if (!m_pSoundTouch) {
        return 0;
    }
    // What the output needs at the engine's ratio, and one of its input sequences beyond (its
    // last sequence reaches that far past the change), and its seek window's worth.
    const double outPerIn = OutputPerInputRatio();
    const double frames =
        static_cast<double>(std::max<int64_t>(owedFrames, 0) + m_nMatchFrames) / outPerIn;
    const int32_t sequence = m_pSoundTouch->getSetting(SETTING_NOMINAL_INPUT_SEQUENCE);
    const int64_t margin = static_cast<int64_t>(m_Format.nSamplesPerSec) / 1000 * 20;
    return static_cast<int64_t>(std::min(frames, 1e12)) + std::max(sequence, 0) + margin;
}
