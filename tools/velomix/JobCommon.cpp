#include "JobCommon.h"

#include "control/IVelomixProp.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

std::string HexResult(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

int JobFailure(const std::string& message) {
    std::fprintf(stderr, "velomix: %s\n", message.c_str());
    return kExitFailure;
}

int CreateConfiguredFilter(const ProcessOptions& o, CModuleLoader& module,
                           ComPtr<IBaseFilter>& result) {
    const std::string modulePath =
        o.modulePath.empty() ? CModuleLoader::DefaultPath() : o.modulePath;
    if (modulePath.empty())
        return JobFailure("cannot find Velomix.ax (set VELOMIX_MODULE or pass --module)");
    if (!module.Load(modulePath))
        return JobFailure(module.Error());

    ComPtr<IClassFactory> factory;
    HRESULT hr =
        module.GetClassObject(CLSID_Velomix, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return JobFailure("the module offers no Velomix filter (" + HexResult(hr) + ")");
    ComPtr<IBaseFilter> filter;
    hr = factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    if (FAILED(hr))
        return JobFailure("cannot create the filter (" + HexResult(hr) + ")");
    ComPtr<IVelomixProp> prop;
    hr = filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop));
    if (FAILED(hr))
        return JobFailure("the filter has no speed control (" + HexResult(hr) + ")");

    struct Setting {
        const char* name;
        HRESULT hr;
        double value;
    } settings[] = {{"--tempo", prop->SetTempo(o.tempo), o.tempo},
                    {"--rate", prop->SetRate(o.rate), o.rate},
                    {"--pitch", prop->SetPitch(o.pitch), double(o.pitch)}};
    for (const Setting& s : settings) {
        if (FAILED(s.hr)) {
            std::fprintf(stderr, "velomix: %s %g refused by the filter (%s%s)\n", s.name, s.value,
                         s.hr == E_INVALIDARG ? "E_INVALIDARG " : "", HexResult(s.hr).c_str());
            return kExitUsage;
        }
    }
    result = std::move(filter);
    return kExitOk;
}

void DrawProgress(double fraction) {
    const int width = 40;
    const double f = std::clamp(fraction, 0.0, 1.0);
    const int filled = static_cast<int>(f * width);
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
                 width - filled, "", static_cast<int>(f * 100));
    std::fflush(stderr);
}

int RefuseOutputIsInput(const ProcessOptions& o) {
    std::fprintf(stderr,
                 "velomix: %s and %s are the same file: writing the output would destroy the "
                 "input; give another output file\n",
                 o.inputPath.c_str(), o.outputPath.c_str());
    return kExitUsage;
}

int PrepareOutput(const ProcessOptions& o, COutputFile& output, CJobInterrupt& interrupt) {
    switch (output.Create(o.inputPath, o.outputPath)) {
    case COutputFile::Result::Ok:
        break;
    case COutputFile::Result::SameAsInput:
        return RefuseOutputIsInput(o);
    case COutputFile::Result::Failed:
        return JobFailure("cannot write " + o.outputPath + ": " + output.Error());
    }
    if (output.IsTemporary())
        interrupt.RemoveOnSecond(output.WritePath().c_str());
    return kExitOk;
}

void EndInterruptedJob(const ProcessOptions& o, COutputFile& output, CJobInterrupt& interrupt,
                       const std::function<void()>& closeWriter) {
    interrupt.RemoveOnSecond(nullptr);
    const std::string outcome = output.IsTemporary() ? o.outputPath + " is left as it was"
                                                     : o.outputPath + " is incomplete";
    closeWriter();
    output.Discard();
    if (o.progress)
        std::fputc('\n', stderr);
    std::fprintf(stderr, "velomix: interrupted; %s\n", outcome.c_str());
    std::fflush(stderr);
    interrupt.EndProcess();
}

int CommitOutput(const ProcessOptions& o, COutputFile& output, CJobInterrupt& interrupt) {
    interrupt.RemoveOnSecond(nullptr);
    if (!output.Commit())
        return JobFailure("cannot replace " + o.outputPath + ": " + output.Error());
    return kExitOk;
}

namespace {

ComPtr<IVelomixProp> SpeedControlOf(IBaseFilter* filter) {
    ComPtr<IVelomixProp> prop;
    if (filter)
        filter->QueryInterface(IID_IVelomixProp, reinterpret_cast<void**>(&prop));
    return prop;
}

// The filter's values into *s; false, with *s untouched, when it does not answer.
bool ReadSpeed(IVelomixProp* prop, SpeedSetting* s) {
    SpeedSetting now;
    if (!prop || FAILED(prop->GetTempo(&now.tempo)) || FAILED(prop->GetRate(&now.rate)) ||
        FAILED(prop->GetPitch(&now.pitch)))
        return false;
    *s = now;
    return true;
}

bool operator!=(const SpeedSetting& a, const SpeedSetting& b) {
    return a.tempo != b.tempo || a.rate != b.rate || a.pitch != b.pitch;
}

} // namespace

SpeedSetting SpeedInForce(IBaseFilter* filter, const ProcessOptions& o) {
    SpeedSetting s{o.tempo, o.rate, o.pitch};
    ReadSpeed(SpeedControlOf(filter).Get(), &s);
    return s;
}

CSpeedWatch::CSpeedWatch(IBaseFilter* filter, const ProcessOptions& o)
    : m_Prop(SpeedControlOf(filter)), m_Last{o.tempo, o.rate, o.pitch} {}

void CSpeedWatch::Poll() {
    SpeedSetting now = m_Last;
    if (ReadSpeed(m_Prop.Get(), &now) && now != m_Last) {
        ++m_nChanges;
        m_Last = now;
    }
}

namespace {

// Shortest text that reads back as the same double, as velomixctl prints values.
std::string FactorText(double factor) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, factor);
    return std::string(text, result.ptr);
}

// "1.5", or "1.5 from 1" when the value in force is not the one set.
std::string FactorAndSetting(double value, double setting) {
    return value == setting ? FactorText(value)
                            : FactorText(value) + " from " + FactorText(setting);
}

std::string PitchAndSetting(int value, int setting) {
    char text[32];
    if (value == setting)
        std::snprintf(text, sizeof text, "%+d", value);
    else
        std::snprintf(text, sizeof text, "%+d from %+d", value, setting);
    return text;
}

} // namespace

void PrintSummary(const ProcessOptions& o, const SpeedSetting& speed, double inSeconds,
                  double outSeconds, double elapsedSeconds) {
    std::printf(
        "%s: %.2f s in, %.2f s out (tempo %s, rate %s, pitch %s), %.0fx realtime\n",
        o.outputPath.c_str(), inSeconds, outSeconds, FactorAndSetting(speed.tempo, o.tempo).c_str(),
        FactorAndSetting(speed.rate, o.rate).c_str(), PitchAndSetting(speed.pitch, o.pitch).c_str(),
        elapsedSeconds > 0 ? inSeconds / elapsedSeconds : 0.0);
}

void PrintSteeringNote(const CSpeedWatch& watch) {
    if (watch.Changes() == 0)
        return;
    const SpeedSetting& s = watch.Last();
    std::printf("speed changed by a controller during the run (%d change%s seen): ended at "
                "tempo %s, rate %s, pitch %+d\n",
                watch.Changes(), watch.Changes() == 1 ? "" : "s", FactorText(s.tempo).c_str(),
                FactorText(s.rate).c_str(), s.pitch);
}
