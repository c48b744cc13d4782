// The settings file: the input's bytes are VELO.INI. The readers of control/ then take the
// INIT settings and the stretch tuning of a tempo band, as the filter does, and their
// published promises are checked; one input in 32 also goes through a new filter, which
// reads the file when it is made and at each change of speed, and streams a little audio at a
// tempo of each band (the filter and its engine cost most of the time an input takes). The same
// bytes, as one text, are also a number typed on a host's command line.
#include "FuzzSupport.h"

#include "NumberText.h"
#include "Profile.h"
#include "Settings.h"
#include "StretchTuning.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// A tempo inside each band, "1.0" to "2.0".
const double kBandTempos[] = {0.5, 1.1, 1.3, 1.5, 1.7, 3.0};

using fuzz::Broken;

// One band and one buffer size per input, chosen by its length: each read scans the whole
// file, and the bands share their code (a mutation that changes the length reaches the others).
void CheckReaders(const std::string& path, size_t inputSize) {
    const InitSettings init = ReadInitSettings(path);
    (void)init;
    constexpr size_t kBands = sizeof kBandTempos / sizeof kBandTempos[0];
    {
        const StretchBand& band = SelectStretchBand(kBandTempos[inputSize % kBands]);
        const std::string text =
            ReadSpeedTuningText(path, band.key, StretchTuningText(band.tuning).c_str());
        if (text.size() >= kSpeedBufferChars)
            Broken("a tuning text longer than its read buffer");
        StretchTuning tuning = kDefaultStretchTuning;
        ParseStretchTuning(text.c_str(), band, tuning);
        for (const int32_t v : {tuning.sequenceMs, tuning.seekWindowMs, tuning.overlapMs})
            if (v < 0 || v > kMaxStretchTuningMs)
                Broken("a tuning length outside 0..kMaxStretchTuningMs reached the engine");
    }
    // The reader's buffer promises at the smallest sizes.
    static const uint32_t kSizes[] = {1u, 2u, 3u, 17u};
    {
        const uint32_t size = kSizes[inputSize / kBands % 4];
        char buffer[17];
        std::memset(buffer, 'x', sizeof buffer);
        const uint32_t n =
            ReadProfileString(kSpeedSection, "1.0", "dflt", buffer, size, path.c_str());
        if (n >= size || std::strlen(buffer) != n)
            Broken("the profile reader overran its buffer or miscounted");
    }
}

// The hosts' number reader: what it takes is a number the C library reads the same (both round
// correctly), finite, and within the type.
void CheckNumberText(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    double value = 0;
    if (ParseDecimal(text.c_str(), &value)) {
        char* end = nullptr;
        const double expected = std::strtod(text.c_str(), &end);
        if (!std::isfinite(value) || *end != '\0' || value != expected)
            Broken("ParseDecimal took a text the C library reads otherwise");
    }
    int32_t whole = 0;
    if (ParseWholeNumber(text.c_str(), &whole)) {
        char* end = nullptr;
        if (std::strtoll(text.c_str(), &end, 10) != whole || *end != '\0')
            Broken("ParseWholeNumber took a text the C library reads otherwise");
    }
    uint32_t unsignedWhole = 0;
    if (ParseWholeNumber(text.c_str(), &unsignedWhole) && (text[0] == '-' || text[0] == ' '))
        Broken("ParseWholeNumber took a sign or blank for an unsigned number");
}

void StreamThroughFilter() {
    fuzz::CFilterChain chain;
    chain.RunPlainPcm();
    std::vector<uint8_t> pcm(4096);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<uint8_t>((i * 37) ^ (i >> 3));
    for (const double tempo : kBandTempos) {
        chain.Prop()->SetTempo(tempo);
        chain.Deliver(pcm);
    }
    chain.EndOfStream();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::SettingsFile();
    if (!fuzz::WriteFile(path, data, size))
        Broken("cannot write the settings file");
    CheckReaders(path, size);
    CheckNumberText(data, size);
    if (size % 32 == 0)
        StreamThroughFilter();
    fuzz::CheckModuleUnloadable();
    return 0;
}
