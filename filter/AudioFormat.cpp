#include "AudioFormat.h"

#include "SpeedProcessor.h"

#include <cstring>

HRESULT ParseAudioFormat(const AM_MEDIA_TYPE& mt, AudioFormat* pFormat) noexcept {
    if (!IsEqualGUID(mt.majortype, MEDIATYPE_Audio))
        return E_FAIL;
    const bool bPcmSubtype = IsEqualGUID(mt.subtype, MEDIASUBTYPE_PCM);
    const bool bFloatSubtype = IsEqualGUID(mt.subtype, MEDIASUBTYPE_IEEE_FLOAT);
    if (!bPcmSubtype && !bFloatSubtype)
        return E_FAIL;
    if (!IsEqualGUID(mt.formattype, FORMAT_WaveFormatEx))
        return E_INVALIDARG;
    // The fields up to wBitsPerSample are the 16 bytes every wave format block has.
    if (!mt.pbFormat || mt.cbFormat < 16)
        return E_INVALIDARG;

    WAVEFORMATEX wfx{};
    std::memcpy(&wfx, mt.pbFormat, mt.cbFormat < sizeof(wfx) ? mt.cbFormat : sizeof(wfx));

    bool bFloat = false;
    switch (wfx.wFormatTag) {
    case WAVE_FORMAT_PCM:
        bFloat = bFloatSubtype;
        break;
    case WAVE_FORMAT_IEEE_FLOAT:
        bFloat = true;
        break;
    case WAVE_FORMAT_EXTENSIBLE: {
        if (mt.cbFormat < sizeof(WAVEFORMATEXTENSIBLE) || wfx.cbSize < 22)
            return E_INVALIDARG;
        WAVEFORMATEXTENSIBLE wfxe;
        std::memcpy(&wfxe, mt.pbFormat, sizeof(wfxe));
        if (IsEqualGUID(wfxe.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            bFloat = true;
        else if (!IsEqualGUID(wfxe.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
            return E_INVALIDARG;
        break;
    }
    default:
        return E_INVALIDARG;
    }
    // A float subtype over an integer format block is a contradiction.
    if (bFloatSubtype && !bFloat)
        return E_INVALIDARG;

    const int32_t nChannels = wfx.nChannels;
    const int32_t nBytes = wfx.wBitsPerSample / 8;
    if (wfx.wBitsPerSample % 8 != 0 ||
        !CSpeedProcessor::SupportsFormat(nChannels, static_cast<int32_t>(wfx.nSamplesPerSec),
                                         wfx.wBitsPerSample, bFloat))
        return E_INVALIDARG;
    if (wfx.nBlockAlign != nChannels * nBytes)
        return E_INVALIDARG;

    if (pFormat) {
        pFormat->nChannels = nChannels;
        pFormat->nSamplesPerSec = static_cast<int32_t>(wfx.nSamplesPerSec);
        pFormat->wBitsPerSample = wfx.wBitsPerSample;
        pFormat->bFloat = bFloat;
        pFormat->nBlockAlign = wfx.nBlockAlign;
    }
    return S_OK;
}
