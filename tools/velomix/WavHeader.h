// The header of the RIFF/WAVE files that the Windows job writes, built for a format and the
// data size known so far. Platform-independent, so that the native tests read it with
// libsndfile at sizes no test writes.
//
// A file that can be written again at its start reserves, right after "WAVE", a 36-byte "JUNK"
// chunk: once the data outgrows the 32-bit sizes of RIFF, the finished header becomes RF64
// (EBU Tech 3306: "RF64", a "ds64" chunk in the room of the "JUNK" one, the 32-bit sizes
// 0xFFFFFFFF) without moving a byte of the data. The header has the same length at every size.
// A stream (a pipe) reserves nothing and gives its sizes as unknown, 0xFFFFFFFF.
#pragma once

#include "media.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct WavHeaderPlan {
    bool bReserveDs64 = true; // a file that is rewritten at its start when finished
    bool bSizesKnown = true;  // false: a stream of unknown length
    uint64_t cbData = 0;      // the audio written, without the pad byte; with bSizesKnown
};

// The header for the format (a WAVEFORMATEX of cbFormat bytes): a 16-byte "fmt " chunk for
// integer PCM, the whole WAVEFORMATEX with its extra bytes otherwise (then with a "fact"
// chunk of the frame count). False with *pError set for a format that cannot be written.
bool BuildWavHeader(const WAVEFORMATEX* pwfx, size_t cbFormat, const WavHeaderPlan& plan,
                    std::vector<uint8_t>* pHeader, std::string* pError);

// True when the data size (and the RIFF size around it) no longer fit 32 bits: the finished
// header is then RF64.
bool WavNeedsRf64(size_t cbHeader, uint64_t cbData);
