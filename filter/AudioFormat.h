// The audio formats the speed filter takes, read from a media type.
#pragma once

#include "SpeedProcessor.h"
#include "media.h"

#include <cstdint>

// The processor's format, and the bytes per frame the media type states.
struct AudioFormat : PcmFormat {
    int32_t nBlockAlign = 0;
};

// Reads an audio media type: S_OK with *pFormat filled for uncompressed PCM (8-bit unsigned,
// 16/24/32-bit signed) or 32-bit IEEE float in a WAVEFORMATEX or WAVEFORMATEXTENSIBLE block,
// 1 to 16 channels. E_FAIL for another major type or subtype; E_INVALIDARG for another
// format type, a missing or short format block (under 16 bytes), a format tag or
// sub-format that is not PCM or float, 0 or more than 16 channels, a sample rate below
// 1000 Hz (the engine is not known to finish below; CSpeedProcessor::kMinSampleRate) or above
// 192000 Hz, a sample width other than 8, 16, 24 or 32 bits (float: 32), and a block alignment
// other than channels x bytes per sample.
HRESULT ParseAudioFormat(const AM_MEDIA_TYPE& mt, AudioFormat* pFormat) noexcept;
