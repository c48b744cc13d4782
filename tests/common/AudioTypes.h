// Audio formats and media types as the tests' sources offer them; shared by the native and the
// Windows tests.
#pragma once

#include "MediaType.h"
#include "media.h"

// A WAVEFORMATEX with its block size and byte rate derived from the other fields.
inline WAVEFORMATEX WaveFormat(WORD channels, DWORD rate, WORD bits, WORD tag = WAVE_FORMAT_PCM) {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = tag;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = rate;
    wfx.wBitsPerSample = bits;
    wfx.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    wfx.nAvgBytesPerSec = rate * wfx.nBlockAlign;
    return wfx;
}

// An audio type carrying wfx in FORMAT_WaveFormatEx.
inline CMediaType AudioType(const WAVEFORMATEX& wfx, const GUID& subtype = MEDIASUBTYPE_PCM) {
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    mt.SetSubtype(&subtype);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetSampleSize(wfx.nBlockAlign);
    mt.SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx));
    return mt;
}
