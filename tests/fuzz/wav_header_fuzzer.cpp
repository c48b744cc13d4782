// velomix.exe's WAV writer: the header built for a format block and a data size from the
// input (WavHeader.h), held to what a RIFF/RF64 reader needs of it: chunks that nest and end
// where the data begins, the same length at every size (the writer rewrites it in place),
// the sizes and the "ds64" chunk right, the format block as given. A header of a plain layout
// is then written with its audio, as the native stream writer does (WavFileStream.h), and read
// back by the host's reader (libsndfile): same layout, same frames.
#include "FuzzSupport.h"

#include "SoundFile.h"
#include "WavFileStream.h"
#include "WavHeader.h"

#include <sndfile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using fuzz::Broken;

uint32_t Le32(const std::vector<uint8_t>& h, size_t at) {
    return uint32_t(h[at]) | uint32_t(h[at + 1]) << 8 | uint32_t(h[at + 2]) << 16 |
           uint32_t(h[at + 3]) << 24;
}

uint64_t Le64(const std::vector<uint8_t>& h, size_t at) {
    return uint64_t(Le32(h, at)) | uint64_t(Le32(h, at + 4)) << 32;
}

bool TagIs(const std::vector<uint8_t>& h, size_t at, const char* tag) {
    return std::memcmp(h.data() + at, tag, 4) == 0;
}

// Sizes near the edges of what 32 bits hold, or anything.
uint64_t FuzzedDataSize(FuzzedDataProvider& fdp) {
    static const uint64_t kEdges[] = {
        0, 1, 0xFFFFFFFEull - 64, 0xFFFFFFFFull - 64, 0xFFFFFFFFull, 0x100000000ull};
    switch (fdp.ConsumeIntegralInRange(0, 2)) {
    case 0:
        return fdp.ConsumeIntegralInRange<uint64_t>(0, 4096);
    case 1:
        return kEdges[fdp.ConsumeIntegralInRange<size_t>(0, 5)] +
               fdp.ConsumeIntegralInRange<uint64_t>(0, 128);
    default:
        return fdp.ConsumeIntegral<uint64_t>() >> fdp.ConsumeIntegralInRange(0, 63);
    }
}

// Walks the header's chunks from "WAVE" on: each lies inside the header, "data" comes last with
// its size field the header's last bytes. Returns the offset of the "fmt " chunk's body.
size_t CheckChunks(const std::vector<uint8_t>& h) {
    if (h.size() < 20 || !(TagIs(h, 0, "RIFF") || TagIs(h, 0, "RF64")) || !TagIs(h, 8, "WAVE"))
        Broken("the header does not start as a RIFF/WAVE file");
    size_t at = 12, fmt = 0;
    for (;;) {
        if (at + 8 > h.size())
            Broken("a chunk runs past the header");
        if (TagIs(h, at, "data")) {
            if (at + 8 != h.size())
                Broken("the data chunk's header is not where the header ends");
            if (fmt == 0)
                Broken("the header has no fmt chunk before its data");
            return fmt;
        }
        const uint64_t cb = Le32(h, at + 4);
        if (TagIs(h, at, "fmt "))
            fmt = at + 8;
        at += 8 + cb + (cb & 1);
    }
}

void CheckHeader(const WAVEFORMATEX* pwfx, size_t cbFormat, const WavHeaderPlan& plan,
                 const std::vector<uint8_t>& h) {
    const size_t fmt = CheckChunks(h);
    const uint32_t cbFmt = Le32(h, fmt - 4);
    if (cbFmt < 16 || std::memcmp(h.data() + fmt, pwfx, 16) != 0)
        Broken("the fmt chunk does not hold the format given");
    if (pwfx->wFormatTag == WAVE_FORMAT_PCM ? cbFmt != 16 : cbFmt > cbFormat)
        Broken("the fmt chunk has the wrong length");
    if (cbFmt > 16 && (cbFmt < 18 || h[fmt + 16] + (h[fmt + 17] << 8) != int(cbFmt - 18)))
        Broken("the fmt chunk's cbSize does not count its extra bytes");

    // Every size a rewrite of the finished file may give has room in the same header.
    WavHeaderPlan empty = plan;
    empty.cbData = 0;
    std::vector<uint8_t> first;
    std::string error;
    if (!BuildWavHeader(pwfx, cbFormat, empty, &first, &error) || first.size() != h.size())
        Broken("the header changes its length with the data size");

    const size_t cbHeader = h.size();
    const uint64_t riff = cbHeader - 8 + plan.cbData + (plan.cbData & 1);
    const bool bRf64 = TagIs(h, 0, "RF64");
    if (bRf64 != (plan.bSizesKnown && WavNeedsRf64(cbHeader, plan.cbData)))
        Broken("RF64 where the sizes fit, or RIFF where they do not");
    if (!plan.bSizesKnown || bRf64) {
        if (Le32(h, 4) != 0xFFFFFFFF || Le32(h, cbHeader - 4) != 0xFFFFFFFF)
            Broken("unknown or 64-bit sizes not marked 0xFFFFFFFF");
    } else if (Le32(h, 4) != riff || Le32(h, cbHeader - 4) != plan.cbData) {
        Broken("the RIFF or data size is wrong");
    }
    if (bRf64 && (!TagIs(h, 12, "ds64") || Le64(h, 20) != riff || Le64(h, 28) != plan.cbData ||
                  Le64(h, 36) != plan.cbData / pwfx->nBlockAlign))
        Broken("the ds64 chunk does not hold the sizes");
}

// Closes a descriptor at the end of a scope.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

// A plain layout through the stream writer into a FIFO (what it is for) and back through the
// reader, from a file of what came out.
void RoundTrip(const PcmLayout& layout, FuzzedDataProvider& fdp) {
    static const std::string fifo = [] {
        const std::string name = fuzz::PrivateFolder() + "/stream.fifo";
        if (::mkfifo(name.c_str(), 0600) != 0)
            Broken("cannot make", name);
        return name;
    }();
    // Open for reading first, so that the writer's open finds a reader; all of it fits in the
    // pipe's buffer.
    const Descriptor reading{::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (reading.fd < 0)
        Broken("cannot open", fifo);
    std::string error;
    SNDFILE* out = OpenWavStream(fifo, layout, &error);
    if (!out)
        Broken("the stream writer refused a plain layout:", error);
    const std::vector<uint8_t> audio =
        fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 4096));
    const int64_t frames = static_cast<int64_t>(audio.size()) / layout.BlockAlign();
    // Samples as the filter delivers them, in the two layouts libsndfile takes as they are;
    // for the others the header alone is read back.
    sf_count_t written = 0;
    if (layout.isFloat)
        written = sf_writef_float(out, reinterpret_cast<const float*>(audio.data()), frames);
    else if (layout.bits == 16)
        written = sf_writef_short(out, reinterpret_cast<const short*>(audio.data()), frames);
    sf_close(out);
    std::vector<uint8_t> file;
    uint8_t chunk[4096];
    for (ssize_t n; (n = ::read(reading.fd, chunk, sizeof chunk)) > 0;)
        file.insert(file.end(), chunk, chunk + n);
    const std::string path = fuzz::PrivateFolder() + "/stream.wav";
    if (!fuzz::WriteFile(path, file.data(), file.size()))
        Broken("cannot write", path);
    CSoundReader reader;
    if (!reader.Open(path))
        Broken("the reader cannot open what the stream writer wrote:", reader.Error());
    const PcmLayout& in = reader.Layout();
    if (in.channels != layout.channels || in.sampleRate != layout.sampleRate ||
        in.bits != layout.bits || in.isFloat != layout.isFloat)
        Broken("the reader sees another layout than was written");
    if (reader.Frames() != written)
        Broken("the reader sees another number of frames than was written");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    WavHeaderPlan plan;
    plan.bReserveDs64 = fdp.ConsumeBool();
    plan.bSizesKnown = fdp.ConsumeBool();
    plan.cbData = plan.bSizesKnown ? FuzzedDataSize(fdp) : 0;
    const bool bRoundTrip = fdp.ConsumeIntegralInRange(0, 7) == 0;
    // Exactly as long as it says, as the job keeps the connection's block: a read past it shows.
    const std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange(0, 80));
    const size_t cbFormat = bytes.size();
    const std::unique_ptr<uint8_t[]> block =
        std::make_unique<uint8_t[]>(std::max<size_t>(cbFormat, 1));
    if (cbFormat > 0)
        std::memcpy(block.get(), bytes.data(), cbFormat);
    const auto* pwfx = reinterpret_cast<const WAVEFORMATEX*>(block.get());
    std::vector<uint8_t> header;
    std::string error;
    if (BuildWavHeader(pwfx, cbFormat, plan, &header, &error)) {
        CheckHeader(pwfx, cbFormat, plan, header);
    } else if (error.empty()) {
        Broken("the header writer refused a format without saying why");
    }
    if (bRoundTrip) {
        static const int kBits[] = {8, 16, 24, 32, 32};
        PcmLayout layout;
        layout.channels = fdp.ConsumeIntegralInRange(1, 16);
        layout.sampleRate = fdp.ConsumeIntegralInRange(1000, 192000);
        const int kind = fdp.ConsumeIntegralInRange(0, 4);
        layout.bits = kBits[kind];
        layout.isFloat = kind == 4;
        RoundTrip(layout, fdp);
    }
    return 0;
}
