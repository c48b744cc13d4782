// Audio files through libsndfile, as interleaved PCM in the layout the filter streams:
// 8-bit unsigned, 16/24/32-bit signed little-endian, or 32-bit float.
#pragma once

#include "media.h"

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

struct PcmLayout {
    int channels = 0;
    int sampleRate = 0;
    int bits = 16;        // 8, 16, 24 or 32
    bool isFloat = false; // 32-bit IEEE float
    int BlockAlign() const { return channels * bits / 8; }
};

// The format the filter is offered for audio in this layout, and that a WAV of it declares.
WAVEFORMATEX WaveFormatFor(const PcmLayout& layout);

class CSoundReader {
public:
    CSoundReader() = default;
    ~CSoundReader();
    CSoundReader(const CSoundReader&) = delete;
    CSoundReader& operator=(const CSoundReader&) = delete;

    // False with Error() set when the file is missing, unreadable or not audio.
    bool Open(const std::string& path);
    const PcmLayout& Layout() const { return m_Layout; }
    int64_t Frames() const { return m_Info.frames; }
    int Format() const { return m_Info.format; }
    // The speaker position of each channel (SF_CHANNEL_MAP_*) when the file names them (a
    // WAVE_FORMAT_EXTENSIBLE channel mask, an AIFF or CAF channel layout); empty otherwise.
    const std::vector<int>& ChannelMap() const { return m_ChannelMap; }
    // Reads up to `frames` frames into dst (BlockAlign() bytes each); returns frames read,
    // 0 at the end, -1 on a read error.
    int64_t Read(uint8_t* dst, int64_t frames);
    bool Seek(int64_t frame);
    const std::string& Error() const { return m_Error; }

    // What the decoder says of the file once it has been read.
    struct Report {
        std::string damage;     // the decoder's words on a damaged stream; empty when none
        int64_t expectedFrames; // what the header (or a damaged stream's end) announces; -1
    };                          // when not known
    Report ReadReport() const;

private:
    // The decoder's log: libsndfile says there what it found wrong in a file, even when it
    // reads on without an error (a data size that overruns the file, an Ogg stream with a hole).
    std::string Log() const;

    SNDFILE* m_pFile = nullptr;
    SF_INFO m_Info{};
    int64_t m_nHeaderFrames = -1; // the frames a WAV header announces beyond the file's end
    std::vector<int> m_ChannelMap;
    PcmLayout m_Layout;
    std::vector<int32_t> m_Scratch;
    std::string m_Error;
};

class CSoundWriter {
public:
    CSoundWriter() = default;
    ~CSoundWriter();
    CSoundWriter(const CSoundWriter&) = delete;
    CSoundWriter& operator=(const CSoundWriter&) = delete;

    // Creates path in the container that the extension of containerName names (the input's
    // when it has none), keeping the input's sample format where the container allows it.
    // containerName is the name the file will have in the end (path may be a temporary one).
    // A WAV whose audio is expected to come within a quarter of what a RIFF header can describe
    // (expectedBytes of audio, from the input's length and the speed) is written as RF64.
    // channelMap (CSoundReader::ChannelMap) goes into every container that can hold it; a WAV
    // with one is written in the extensible format, whose channel mask holds it.
    bool Open(const std::string& path, const PcmLayout& layout, int inputFormat,
              const std::vector<int>& channelMap, const std::string& containerName,
              uint64_t expectedBytes);
    // Writes whole frames of `bytes` bytes of PCM in the layout; false on a write error, and
    // false before the audio would outgrow the 32-bit sizes of a plain WAV or AIFF header.
    bool Write(const uint8_t* data, int64_t bytes);
    // The largest audio, in bytes, that this writer puts in a container with 32-bit sizes.
    static constexpr uint64_t kMax32BitData = 0xFFFFFFFFull - 0x10000; // room for the header
    // Closes the file; false when the last writes failed.
    bool Close();
    int64_t FramesWritten() const { return m_nFrames; }
    const std::string& Error() const { return m_Error; }

private:
    SNDFILE* m_pFile = nullptr;
    PcmLayout m_Layout;
    std::vector<int32_t> m_Scratch;
    int64_t m_nFrames = 0;
    int m_Major = 0;
    uint64_t m_cbLimit = 0; // 0: the container has no 32-bit size to outgrow
    std::string m_Error;
};
