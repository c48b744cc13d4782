// WAV files through the Win32 file API, for the Windows job. Paths are in the ANSI code page,
// as the command line gives them.
#pragma once

#include "media.h"

#include <cstdint>
#include <string>
#include <vector>

// Opens path for reading and checks that it starts as a RIFF/WAVE file; false with *pError
// saying why.
bool CheckWavFile(const std::string& path, std::string* pError);

// Writes a RIFF/WAVE file: a header with the stream's format, the data, and at Finish the
// header again with the sizes (WavHeader.h): RF64 once the data outgrows 4 GiB. An output that
// cannot seek back (a pipe) gets the sizes of a stream of unknown length (0xFFFFFFFF) from the
// start. One thread at a time.
class CWavFileWriter {
public:
    CWavFileWriter() = default;
    // Finishes a file left open, whatever the result: what was written stays readable.
    ~CWavFileWriter();
    CWavFileWriter(const CWavFileWriter&) = delete;
    CWavFileWriter& operator=(const CWavFileWriter&) = delete;

    // Creates path, replacing a file of that name; a device path (\\.\...) is opened as it is.
    bool Open(const std::string& path);
    // Writes the header for the format (BuildWavHeader). Once, before Write.
    bool WriteHeader(const WAVEFORMATEX* pwfx, size_t cbFormat);
    bool Write(const void* pData, size_t cb);
    // Pads the data to an even length, writes the header with the sizes and closes the file.
    bool Finish();
    uint64_t DataBytes() const noexcept { return m_cbData; }
    // What failed last, as the system says it.
    const std::string& Error() const noexcept { return m_Error; }

private:
    bool WriteAll(const void* pData, size_t cb);
    bool Fail(const std::string& what);
    void Close() noexcept;

    HANDLE m_hFile = INVALID_HANDLE_VALUE; // owned; closed by Finish or the destructor
    bool m_bSeekable = false;
    bool m_bHeader = false;
    std::vector<uint8_t> m_Format; // the WAVEFORMATEX as the header was written for it
    size_t m_cbHeader = 0;
    uint64_t m_cbData = 0;
    std::string m_Error;
};
