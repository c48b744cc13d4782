#include "SoundFile.h"

#include "WavFileStream.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

PcmLayout LayoutFor(const SF_INFO& info) {
    PcmLayout l;
    l.channels = info.channels;
    l.sampleRate = info.samplerate;
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        l.bits = 8;
        break;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_DWVW_24:
    case SF_FORMAT_ALAC_24:
        l.bits = 24;
        break;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_32:
        l.bits = 32;
        break;
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
        l.bits = 32;
        l.isFloat = true;
        break;
    default: // 16-bit PCM and the codecs that decode to at most 16 bits
        l.bits = 16;
        break;
    }
    return l;
}

// The sub-format that stores the layout exactly.
int SubtypeFor(const PcmLayout& l, int major) {
    if (l.isFloat)
        return SF_FORMAT_FLOAT;
    switch (l.bits) {
    case 8:
        return major == SF_FORMAT_WAV ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_S8;
    case 24:
        return SF_FORMAT_PCM_24;
    case 32:
        return SF_FORMAT_PCM_32;
    default:
        return SF_FORMAT_PCM_16;
    }
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The major format whose usual extension the path has; 0 when none matches.
int MajorForPath(const std::string& path) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return 0;
    const std::string ext = Lower(path.substr(dot + 1));
    if (ext == "wav")
        return SF_FORMAT_WAV;
    if (ext == "ogg" || ext == "oga")
        return SF_FORMAT_OGG;
    if (ext == "aif" || ext == "aiff")
        return SF_FORMAT_AIFF;
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof(count));
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO fi{};
        fi.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &fi, sizeof(fi)) == 0 && fi.extension &&
            Lower(fi.extension) == ext)
            return fi.format & SF_FORMAT_TYPEMASK;
    }
    return 0;
}

// Bytes a sample takes in the file, for the sub-formats that store each sample alike; 0 for
// the others.
int FileBytesPerSample(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        return 1;
    case SF_FORMAT_PCM_16:
        return 2;
    case SF_FORMAT_PCM_24:
        return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
        return 4;
    case SF_FORMAT_DOUBLE:
        return 8;
    default:
        return 0;
    }
}

// The number after `key` on a line of the log, the line starting with it; -1 when there is
// none. "data : 705600 (should be 352778)" gives 705600 for "data".
int64_t LogNumber(const std::string& log, const char* key) {
    const std::string k = key;
    for (size_t at = 0; at < log.size();) {
        const size_t end = std::min(log.find('\n', at), log.size());
        if (log.compare(at, k.size(), k) == 0) {
            size_t i = at + k.size();
            while (i < end && (log[i] == ' ' || log[i] == ':'))
                ++i;
            if (i < end && std::isdigit(static_cast<unsigned char>(log[i])))
                return std::strtoll(log.c_str() + i, nullptr, 10);
        }
        at = end + 1;
    }
    return -1;
}

// The decoder's words on a damaged stream: the first log line that says so.
std::string DamageIn(const std::string& log) {
    for (const char* marker : {"Corrupted", "hole at", "ended unexpectedly"}) {
        const size_t at = log.find(marker);
        if (at == std::string::npos)
            continue;
        const size_t start = log.rfind('\n', at);
        const size_t begin = start == std::string::npos ? 0 : start + 1;
        return log.substr(begin, std::min(log.find('\n', at), log.size()) - begin);
    }
    return {};
}

// libsndfile's 32-bit samples to 8 bits (unsigned, around 128) or 24 bits (little-endian).
void NarrowSamples(const int* src, size_t count, bool eightBit, uint8_t* dst) {
    if (eightBit) {
        for (size_t i = 0; i < count; ++i)
            dst[i] = static_cast<uint8_t>((static_cast<uint32_t>(src[i]) >> 24) ^ 0x80);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const auto v = static_cast<uint32_t>(src[i]);
        dst[3 * i] = static_cast<uint8_t>(v >> 8);
        dst[3 * i + 1] = static_cast<uint8_t>(v >> 16);
        dst[3 * i + 2] = static_cast<uint8_t>(v >> 24);
    }
}

} // namespace

WAVEFORMATEX WaveFormatFor(const PcmLayout& layout) {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = layout.isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    wfx.nChannels = static_cast<WORD>(layout.channels);
    wfx.nSamplesPerSec = static_cast<DWORD>(layout.sampleRate);
    wfx.wBitsPerSample = static_cast<WORD>(layout.bits);
    wfx.nBlockAlign = static_cast<WORD>(layout.BlockAlign());
    wfx.nAvgBytesPerSec = wfx.nSamplesPerSec * wfx.nBlockAlign;
    return wfx;
}

// ---- reader ----------------------------------------------------------------------------------

CSoundReader::~CSoundReader() {
    if (m_pFile)
        sf_close(m_pFile);
}

bool CSoundReader::Open(const std::string& path) {
    m_Info = SF_INFO{};
    m_pFile = sf_open(path.c_str(), SFM_READ, &m_Info);
    if (!m_pFile) {
        m_Error = sf_strerror(nullptr);
        return false;
    }
    if (m_Info.channels < 1 || m_Info.samplerate < 1) {
        m_Error = "the file holds no audio";
        return false;
    }
    m_Layout = LayoutFor(m_Info);
    m_ChannelMap.assign(static_cast<size_t>(m_Info.channels), 0);
    if (sf_command(m_pFile, SFC_GET_CHANNEL_MAP_INFO, m_ChannelMap.data(),
                   static_cast<int>(m_ChannelMap.size() * sizeof(int))) != SF_TRUE)
        m_ChannelMap.clear();
    // libsndfile gives the frames the file holds; a WAV whose data size overruns the file (a
    // download cut short) says so in the log, "data : <size> (should be <what is there>)".
    const int major = m_Info.format & SF_FORMAT_TYPEMASK;
    const int bytes = FileBytesPerSample(m_Info.format);
    if ((major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64) &&
        bytes > 0) {
        const std::string log = Log();
        if (log.find("(should be") != std::string::npos) {
            const int64_t cbData = LogNumber(log, "data");
            if (cbData > 0)
                m_nHeaderFrames = cbData / (int64_t(bytes) * m_Info.channels);
        }
    }
    return true;
}

std::string CSoundReader::Log() const {
    std::string log(16384, '\0');
    if (m_pFile)
        sf_command(m_pFile, SFC_GET_LOG_INFO, &log[0], static_cast<int>(log.size()));
    log.resize(std::strlen(log.c_str()));
    return log;
}

CSoundReader::Report CSoundReader::ReadReport() const {
    Report r{std::string(), -1};
    if (m_Info.frames > 0 && m_Info.frames != SF_COUNT_MAX)
        r.expectedFrames = m_Info.frames;
    r.expectedFrames = std::max(r.expectedFrames, m_nHeaderFrames);
    const std::string log = Log();
    r.damage = DamageIn(log);
    // A damaged Ogg stream counts its frames from the first page it could place; its last page
    // still says where the stream ends.
    if (!r.damage.empty())
        r.expectedFrames = std::max(r.expectedFrames, LogNumber(log, "PCM end"));
    return r;
}

int64_t CSoundReader::Read(uint8_t* dst, int64_t frames) {
    if (!m_pFile)
        return -1;
    const int ch = m_Layout.channels;
    sf_count_t got = 0;
    if (m_Layout.isFloat) {
        got = sf_readf_float(m_pFile, reinterpret_cast<float*>(dst), frames);
    } else if (m_Layout.bits == 16) {
        got = sf_readf_short(m_pFile, reinterpret_cast<short*>(dst), frames);
    } else if (m_Layout.bits == 32) {
        got = sf_readf_int(m_pFile, reinterpret_cast<int*>(dst), frames);
    } else {
        m_Scratch.resize(static_cast<size_t>(frames * ch));
        got = sf_readf_int(m_pFile, m_Scratch.data(), frames);
        if (got > 0)
            NarrowSamples(m_Scratch.data(), static_cast<size_t>(got * ch), m_Layout.bits == 8, dst);
    }
    if (got < 0 || sf_error(m_pFile) != SF_ERR_NO_ERROR) {
        m_Error = sf_strerror(m_pFile);
        return -1;
    }
    return got;
}

bool CSoundReader::Seek(int64_t frame) {
    return m_pFile && sf_seek(m_pFile, frame, SEEK_SET) >= 0;
}

// ---- writer ----------------------------------------------------------------------------------

CSoundWriter::~CSoundWriter() {
    Close();
}

bool CSoundWriter::Open(const std::string& path, const PcmLayout& layout, int inputFormat,
                        const std::vector<int>& channelMap, const std::string& containerName,
                        uint64_t expectedBytes) {
    m_Layout = layout;
    int major = MajorForPath(containerName);
    if (major == 0)
        major = inputFormat & SF_FORMAT_TYPEMASK;
    // A pipe takes a WAV header only with the sizes unknown, before the audio: no 4 GiB limit.
    if (major == SF_FORMAT_WAV && IsStreamPath(path)) {
        m_Major = major;
        m_pFile = OpenWavStream(path, layout, &m_Error);
        return m_pFile != nullptr;
    }
    // RF64 is WAV with 64-bit sizes; chosen only for audio expected to need them (with room for
    // a later slow-down), since older readers do not know it.
    if ((major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX) &&
        expectedBytes >= kMax32BitData / 4 * 3)
        major = SF_FORMAT_RF64;
    // A plain WAV has no place for speaker positions: libsndfile writes a channel mask only in
    // the extensible format (and in RF64, where it writes that format).
    if (major == SF_FORMAT_WAV && !channelMap.empty())
        major = SF_FORMAT_WAVEX;
    const bool b32BitSizes =
        major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_AIFF;
    m_cbLimit = b32BitSizes ? kMax32BitData : 0;
    m_Major = major;
    SF_INFO info{};
    info.channels = layout.channels;
    info.samplerate = layout.sampleRate;
    // The input's own sub-format first, then the exact one for the layout, then whatever the
    // container takes (Ogg holds only compressed audio).
    const int candidates[] = {inputFormat & SF_FORMAT_SUBMASK, SubtypeFor(layout, major),
                              SF_FORMAT_VORBIS, SF_FORMAT_PCM_16};
    bool found = false;
    for (int sub : candidates) {
        info.format = major | sub;
        if (sf_format_check(&info)) {
            found = true;
            break;
        }
    }
    if (!found) {
        m_Error = "no sample format of this container can hold the audio";
        return false;
    }
    m_pFile = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!m_pFile) {
        m_Error = sf_strerror(nullptr);
        return false;
    }
    // Before the first write, which writes the header. A container without a place for it
    // (FLAC, Ogg, W64 in libsndfile) refuses it: the audio is written all the same.
    if (!channelMap.empty())
        sf_command(m_pFile, SFC_SET_CHANNEL_MAP_INFO, const_cast<int*>(channelMap.data()),
                   static_cast<int>(channelMap.size() * sizeof(int)));
    // Keep float output that overshoots from wrapping when the container stores integers.
    sf_command(m_pFile, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return true;
}

bool CSoundWriter::Write(const uint8_t* data, int64_t bytes) {
    if (!m_pFile)
        return false;
    const int ch = m_Layout.channels;
    const int64_t frames = bytes / m_Layout.BlockAlign();
    if (frames <= 0)
        return true;
    // libsndfile would wrap the size fields of a plain WAV or AIFF past 4 GiB.
    if (m_cbLimit != 0 &&
        static_cast<uint64_t>(m_nFrames + frames) * static_cast<uint64_t>(m_Layout.BlockAlign()) >
            m_cbLimit) {
        m_Error = std::string("the audio outgrows the 4 GiB that ") +
                  (m_Major == SF_FORMAT_AIFF ? "an AIFF" : "a WAV") +
                  " file can describe (an .rf64 or .w64 output has no such limit)";
        return false;
    }
    sf_count_t put = 0;
    if (m_Layout.isFloat) {
        std::vector<float> f(static_cast<size_t>(frames * ch));
        std::memcpy(f.data(), data, f.size() * sizeof(float));
        put = sf_writef_float(m_pFile, f.data(), frames);
    } else if (m_Layout.bits == 16) {
        std::vector<short> s(static_cast<size_t>(frames * ch));
        std::memcpy(s.data(), data, s.size() * sizeof(short));
        put = sf_writef_short(m_pFile, s.data(), frames);
    } else {
        m_Scratch.resize(static_cast<size_t>(frames * ch));
        const size_t n = m_Scratch.size();
        for (size_t i = 0; i < n; ++i) {
            uint32_t v = 0;
            if (m_Layout.bits == 8)
                v = static_cast<uint32_t>(data[i] ^ 0x80) << 24;
            else if (m_Layout.bits == 24)
                v = (uint32_t(data[3 * i]) << 8) | (uint32_t(data[3 * i + 1]) << 16) |
                    (uint32_t(data[3 * i + 2]) << 24);
            else
                std::memcpy(&v, data + 4 * i, 4);
            m_Scratch[i] = static_cast<int32_t>(v);
        }
        put = sf_writef_int(m_pFile, m_Scratch.data(), frames);
    }
    if (put != frames) {
        m_Error = sf_strerror(m_pFile);
        return false;
    }
    m_nFrames += frames;
    return true;
}

bool CSoundWriter::Close() {
    if (!m_pFile)
        return m_Error.empty();
    sf_write_sync(m_pFile);
    const int rc = sf_close(m_pFile);
    m_pFile = nullptr;
    if (rc != 0 && m_Error.empty())
        m_Error = sf_error_number(rc);
    return m_Error.empty();
}
