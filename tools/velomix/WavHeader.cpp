#include "WavHeader.h"

#include <algorithm>
#include <utility>

namespace {

constexpr uint32_t kUnknown32 = 0xFFFFFFFF;
constexpr uint32_t kDs64Body = 28; // RIFF size, data size, sample count (64-bit each), table length

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutTag(std::vector<uint8_t>& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

void Set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void Set64(std::vector<uint8_t>& out, size_t at, uint64_t v) {
    Set32(out, at, static_cast<uint32_t>(v & 0xFFFFFFFF));
    Set32(out, at + 4, static_cast<uint32_t>(v >> 32));
}

void SetTag(std::vector<uint8_t>& out, size_t at, const char* tag) {
    for (size_t i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(tag[i]);
}

} // namespace

bool WavNeedsRf64(size_t cbHeader, uint64_t cbData) {
    // The RIFF size counts everything after its own field, a pad byte included; 0xFFFFFFFF is
    // kept for "unknown".
    const uint64_t riff = cbHeader - 8 + cbData + (cbData & 1);
    return riff >= kUnknown32 || cbData >= kUnknown32;
}

bool BuildWavHeader(const WAVEFORMATEX* pwfx, size_t cbFormat, const WavHeaderPlan& plan,
                    std::vector<uint8_t>* pHeader, std::string* pError) {
    if (!pwfx || cbFormat < 16 || pwfx->nBlockAlign == 0) {
        *pError = "the stream has no wave format";
        return false;
    }
    // Integer PCM has the plain 16-byte format; every other format carries cbSize and its extra
    // bytes.
    size_t cbFmt = 16;
    if (pwfx->wFormatTag != WAVE_FORMAT_PCM)
        cbFmt = cbFormat >= sizeof(WAVEFORMATEX)
                    ? std::min<size_t>(cbFormat, sizeof(WAVEFORMATEX) + pwfx->cbSize)
                    : 16;

    std::vector<uint8_t> h;
    h.reserve(128 + cbFmt);
    PutTag(h, "RIFF");
    Put32(h, 0); // set below
    PutTag(h, "WAVE");
    size_t offDs64 = 0;
    if (plan.bReserveDs64) {
        offDs64 = h.size();
        PutTag(h, "JUNK");
        Put32(h, kDs64Body);
        h.insert(h.end(), kDs64Body, 0);
    }
    PutTag(h, "fmt ");
    Put32(h, static_cast<uint32_t>(cbFmt));
    const auto* pFormat = reinterpret_cast<const uint8_t*>(pwfx);
    h.insert(h.end(), pFormat, pFormat + 16);
    if (cbFmt > 16) {
        // cbSize as far as the connection carries it: what follows it is exactly cbFmt - 18 bytes.
        Put16(h, static_cast<uint16_t>(cbFmt - 18));
        h.insert(h.end(), pFormat + 18, pFormat + cbFmt);
    }
    if (cbFmt & 1)
        h.push_back(0);
    size_t offFact = 0;
    if (pwfx->wFormatTag != WAVE_FORMAT_PCM) {
        PutTag(h, "fact");
        Put32(h, 4);
        offFact = h.size();
        Put32(h, 0);
    }
    PutTag(h, "data");
    const size_t offData = h.size();
    Put32(h, 0);

    const bool bRf64 = plan.bSizesKnown && WavNeedsRf64(h.size(), plan.cbData);
    if (bRf64 && !plan.bReserveDs64) {
        *pError = "the data outgrows the 4 GiB a WAV file without room for RF64 sizes can describe";
        return false;
    }
    const uint64_t riff = h.size() - 8 + plan.cbData + (plan.cbData & 1);
    const uint64_t frames = plan.cbData / pwfx->nBlockAlign;
    // The 32-bit sizes: the RIFF's, the data's and (beside a "fact" chunk) the frame count.
    auto setSizes = [&](uint32_t cbRiff, uint32_t cbData, uint32_t nFrames) {
        Set32(h, 4, cbRiff);
        Set32(h, offData, cbData);
        if (offFact)
            Set32(h, offFact, nFrames);
    };
    if (!plan.bSizesKnown || bRf64)
        setSizes(kUnknown32, kUnknown32, kUnknown32);
    else
        setSizes(static_cast<uint32_t>(riff), static_cast<uint32_t>(plan.cbData),
                 static_cast<uint32_t>(std::min<uint64_t>(frames, kUnknown32)));
    if (bRf64) {
        SetTag(h, 0, "RF64");
        SetTag(h, offDs64, "ds64");
        Set64(h, offDs64 + 8, riff);
        Set64(h, offDs64 + 16, plan.cbData);
        Set64(h, offDs64 + 24, frames);
        Set32(h, offDs64 + 32, 0); // no table of further chunk sizes
    }
    *pHeader = std::move(h);
    return true;
}
