#include "WavFileStream.h"

#include "WavHeader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

bool IsStreamPath(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

SNDFILE* OpenWavStream(const std::string& path, const PcmLayout& layout, std::string* pError) {
    const WAVEFORMATEX wfx = WaveFormatFor(layout);
    WavHeaderPlan plan;
    plan.bReserveDs64 = false;
    plan.bSizesKnown = false;
    std::vector<uint8_t> header;
    if (!BuildWavHeader(&wfx, sizeof(wfx), plan, &header, pError))
        return nullptr;

    SF_INFO info{};
    info.channels = layout.channels;
    info.samplerate = layout.sampleRate;
    info.format = SF_FORMAT_RAW | SF_ENDIAN_LITTLE;
    if (layout.isFloat)
        info.format |= SF_FORMAT_FLOAT;
    else if (layout.bits == 8)
        info.format |= SF_FORMAT_PCM_U8; // WAV's 8-bit samples are unsigned
    else if (layout.bits == 24)
        info.format |= SF_FORMAT_PCM_24;
    else if (layout.bits == 32)
        info.format |= SF_FORMAT_PCM_32;
    else
        info.format |= SF_FORMAT_PCM_16;

    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        *pError = std::strerror(errno);
        return nullptr;
    }
    for (size_t at = 0; at < header.size();) {
        const ssize_t put = write(fd, header.data() + at, header.size() - at);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            *pError = put < 0 ? std::strerror(errno) : "nothing could be written";
            close(fd);
            return nullptr;
        }
        at += static_cast<size_t>(put);
    }
    // libsndfile owns the descriptor from here on, also when it fails.
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!file)
        *pError = sf_strerror(nullptr);
    return file;
}
