// WAV into a pipe, natively. libsndfile writes a WAV header last, with the sizes, and so cannot
// write one into a pipe or a FIFO; velomix.exe's way is taken instead (WavHeader.h): the header
// first with the sizes unknown (0xFFFFFFFF), then the samples, which libsndfile converts as raw
// little-endian audio in the sub-format WAV has for the layout.
#pragma once

#include "SoundFile.h"

#include <sndfile.h>

#include <string>

// True when path names a FIFO or a socket: a file that cannot be written again at its start.
bool IsStreamPath(const std::string& path);

// Opens path for writing, writes the header and returns the writer of the samples; null with
// *pError set.
SNDFILE* OpenWavStream(const std::string& path, const PcmLayout& layout, std::string* pError);
