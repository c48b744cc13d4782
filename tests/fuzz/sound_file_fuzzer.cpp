// The host's input: the input's bytes as an audio file, read by the host's libsndfile reader
// (tools/velomix/SoundFile.h) and streamed into the filter as the host streams it: the
// layout the reader reports becomes the connection's type, 100 ms buffers, samples with the
// frames' times, end of stream. At most kMaxBytes of audio per input: the reader's faults lie
// in the headers and the first blocks, and a decoder can make much audio of a short input (the
// whole of an input of PCM, A-law or mu-law; the first half or more of 4-bit ADPCM, which
// libsndfile decodes slowly enough to take most of the time of an input at 128 KB). Of
// that, the first kMaxBuffers go through the filter and the rest is only read: a buffer of a
// low-rate file is 256 frames, and a hundred of them through the whole chain cost milliseconds
// for the same path each time (the filter's streaming is filter_pins' part).
#include "FuzzSupport.h"

#include "SoundFile.h"

#include "posix/PushSource.h"

#include <algorithm>

namespace {

constexpr int64_t kMaxBytes = 32 * 1024;
constexpr int kMaxBuffers = 16;

CMediaType TypeFor(const PcmLayout& l) {
    // The WAVEFORMATEX the host builds from the reader's layout.
    return fuzz::PcmType(l.isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM,
                         static_cast<WORD>(l.channels), static_cast<DWORD>(l.sampleRate),
                         static_cast<WORD>(l.bits), static_cast<WORD>(l.BlockAlign()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::PrivateFolder() + "/input.audio";
    if (!fuzz::WriteFile(path, data, size))
        fuzz::Broken("cannot write", path);
    {
        CSoundReader reader;
        if (!reader.Open(path))
            return 0;
        const PcmLayout layout = reader.Layout();
        const int blockAlign = layout.BlockAlign();
        if (layout.channels < 1 || blockAlign < 1 || layout.sampleRate < 1)
            fuzz::Broken("the reader opened a file without a usable layout");
        fuzz::CFilterChain& chain = fuzz::SharedChain(fuzz::StampMode::Plain);
        const int64_t bufferFrames = std::max(256, layout.sampleRate / 10);
        // The host's 100 ms, but at most 64 KB: no input holds more, and larger buffers only
        // cost their allocation.
        const int64_t cbBuffer =
            std::max<int64_t>(std::min<int64_t>(bufferFrames * blockAlign, 64 * 1024), blockAlign);
        if (SUCCEEDED(chain.Connect(TypeFor(layout), static_cast<LONG>(cbBuffer), 4)) &&
            SUCCEEDED(chain.Run())) {
            std::vector<uint8_t> buffer(static_cast<size_t>(cbBuffer));
            const int64_t chunkFrames = std::max<int64_t>(1, cbBuffer / blockAlign);
            int64_t position = 0;
            int buffers = 0;
            for (int64_t total = 0; total < kMaxBytes;) {
                const int64_t got = reader.Read(buffer.data(), chunkFrames);
                if (got <= 0)
                    break;
                fuzz::CFilterChain::SampleDesc s;
                s.pData = buffer.data();
                s.cbData = static_cast<LONG>(got * blockAlign);
                s.bTime = s.bStop = s.bMediaTime = true;
                const DWORD rate = static_cast<DWORD>(layout.sampleRate);
                s.tStart = CPcmProvider::FrameTime(position, rate);
                s.tStop = CPcmProvider::FrameTime(position + got, rate);
                s.mtStart = position;
                s.mtStop = position + got;
                s.bSync = true;
                s.bDiscontinuity = position == 0;
                position += got;
                total += got * blockAlign;
                if (buffers++ < kMaxBuffers && FAILED(chain.Deliver(s)))
                    break;
            }
            chain.EndOfStream();
        }
        // What the host tells of a damaged or short file comes from the decoder's log.
        const CSoundReader::Report report = reader.ReadReport();
        if (report.expectedFrames < -1)
            fuzz::Broken("the reader expected a negative number of frames");
    }
    fuzz::EndInput();
    return 0;
}
