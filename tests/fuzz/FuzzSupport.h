// What the libFuzzer harnesses share: private folders for every per-user resource, the
// module's class factory (its entry points are linked into the harness), and a filter chain
// driven on the harness's own thread: a source of ours -> Velomix -> the framework's sink.
//
// What is costly to make (a chain with its filter, the control channel's server) is made once
// per process and reset after each input (EndInput); the module must then hold exactly the
// objects it held before the input, so a lost reference shows up as a crash with its input.
// VELOMIX_FUZZ_FRESH=1 makes every input meet new objects instead (slower; for reproducing a
// finding that depends on what an earlier input left behind).
//
// FuzzSupport.cpp also defines LLVMFuzzerInitialize: every harness starts in PrivateFolder(),
// before it makes any object that reads the environment, and its filters keep off the control
// channel (VELOMIX_CHANNEL=off) unless the harness serves it (HarnessServesChannel). The
// environment is never changed afterwards: a server thread may be reading it.
#pragma once

#include "BasePin.h"
#include "ComPtr.h"
#include "IVelomixProp.h"
#include "MediaType.h"
#include "posix/CollectingSink.h"
#include "posix/FilterGraph.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>
#include <vector>

namespace fuzz {

// Prints "fuzz: what detail" and aborts: the input is a finding.
[[noreturn]] void Broken(const char* what, const std::string& detail = {});

// Makes a private folder and points XDG_CONFIG_HOME (the settings file), XDG_RUNTIME_DIR and
// VELOMIX_IPC_DIR (the control channel's named objects) and VELOMIX_REGISTRY_DIR at folders
// inside it, so a harness never meets another process's filters or files; sets
// VELOMIX_CHANNEL=off. Once per process.
const std::string& PrivateFolder();
// The settings file the filter reads, inside PrivateFolder() (its folder exists).
std::string SettingsFile();
// Writes bytes as a whole file (replacing it); false on failure.
bool WriteFile(const std::string& path, const uint8_t* data, size_t size);

// Whether a filter serves the control channel (a server thread and the named objects).
enum class Channel { Off, On };

// Defined (true) by a harness whose filters serve the control channel; false elsewhere. Read
// once, before the first input.
bool HarnessServesChannel();

// A new Velomix filter through the module's class factory, or null. Aborts when the channel
// asked for is not the harness's (HarnessServesChannel).
ComPtr<IBaseFilter> CreateVelomix(Channel channel = Channel::Off);
// Aborts when an object of the module is still alive (a leaked reference).
void CheckModuleUnloadable();

// A PCM media type, as a source offers one.
CMediaType PcmType(WORD tag, WORD channels, DWORD rate, WORD bits, WORD blockAlign);
// A media type from fuzz bytes: usually audio with a WAVEFORMATEX or WAVEFORMATEXTENSIBLE
// whose every field is taken from the data, sometimes anything at all.
CMediaType FuzzedType(FuzzedDataProvider& fdp);

class CFuzzSource;

// The samples a chain's sink takes in one input; later ones it refuses with S_FALSE.
constexpr long kMaxDeliveriesPerInput = 1024;

// A value of IVelomixProp.
enum class Speed { Tempo, Rate, Pitch };

// source -> Velomix -> sink in the framework's graph. The source has no thread: Deliver and
// the stream calls run on the caller's thread and reach the sink before they return.
class CFilterChain {
public:
    explicit CFilterChain(Channel channel = Channel::Off); // Aborts when a part cannot be made
    ~CFilterChain();                                       // Stops and releases everything
    CFilterChain(const CFilterChain&) = delete;
    CFilterChain& operator=(const CFilterChain&) = delete;

    IVelomixProp* Prop() const { return m_pProp.Get(); }
    // The filter's reference count, read through AddRef and Release.
    ULONG FilterReferences() const;
    // Sets the value through IVelomixProp to FuzzedFactor or FuzzedPitch; the setter's result.
    HRESULT SetFuzzedSpeed(Speed which, FuzzedDataProvider& fdp);
    IPin* FilterInput() const { return m_pFilterIn.Get(); }

    // Stops, disconnects both sides and connects again with mt, the source's allocator asking
    // for cBuffers of cbBuffer bytes. S_OK when both sides connected.
    HRESULT Connect(const CMediaType& mt, LONG cbBuffer, LONG cBuffers);
    // Connects with 16-bit stereo PCM at 44.1 kHz in 4096-byte buffers and runs; aborts when
    // that fails.
    void RunPlainPcm();
    HRESULT Stop() { return m_pGraph->Stop(); }
    HRESULT Pause() { return m_pGraph->Pause(); }
    HRESULT Run() { return m_pGraph->Run(); }

    // One sample of the connection's allocator, cbData bytes of data (cut to its size), with
    // the given properties; the result of the filter's Receive. pType: a type change.
    struct SampleDesc {
        const uint8_t* pData = nullptr;
        LONG cbData = 0;
        bool bTime = false, bStop = false, bMediaTime = false;
        REFERENCE_TIME tStart = 0, tStop = 0;
        LONGLONG mtStart = 0, mtStop = 0;
        bool bSync = false, bDiscontinuity = false, bPreroll = false;
        const AM_MEDIA_TYPE* pType = nullptr;
    };
    HRESULT Deliver(const SampleDesc& desc);
    // An untimed sample of data, no flags set.
    HRESULT Deliver(const std::vector<uint8_t>& data);
    // The same through a sample of the harness's own that says whatever it is told: its size
    // and actual length are independent (the buffer holds max(0, cbSize) bytes), and it works
    // in any state (while stopped or flushing too). Straight into the filter's input pin.
    HRESULT DeliverForeign(const SampleDesc& desc, LONG cbSize, LONG lActual);
    HRESULT EndOfStream();
    HRESULT BeginFlush();
    HRESULT EndFlush();
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    // Back to what a new chain is, but for what the filter keeps for the life of the object
    // (its engine, set up for the last format): stopped and unconnected, the stream forgotten
    // (flushed, no runtime error), a segment at rate 1.0, tempo, rate and pitch at 1.0, 1.0, 0.
    void Reset();

private:
    ComPtr<CFilterGraph> m_pGraph;
    ComPtr<CFuzzSource> m_pSource;
    ComPtr<IBaseFilter> m_pFilter;
    ComPtr<CCollectingSink> m_pSink;
    ComPtr<IVelomixProp> m_pProp;
    ComPtr<IPin> m_pFilterIn;
    ComPtr<IPin> m_pFilterOut;
    bool m_bConnected = false;
    long m_nDelivered = 0; // samples the sink has taken since the last Reset
    // The filter's input connected at some time since the last Reset: a stream may have started.
    bool m_bStreamedSinceReset = false;

    void ResetValues();
    void FullReset();
};

// The stamp modes the filter reads from VELO.INI when it is made: none, RESTAMP,
// SEGMENT_RATE, both.
enum class StampMode { Plain, Restamp, SegmentRate, Both };
constexpr int kStampModes = 4;

// A chain made at the first call for its mode and channel and kept for the process; the
// settings file is removed once its filter has read it. Reset by EndInput. Called at the start
// of an input, before the input makes anything of its own.
CFilterChain& SharedChain(StampMode mode, Channel channel = Channel::Off);

// After each input: resets every shared chain and aborts when the module holds other objects
// than after the chains were made. With VELOMIX_FUZZ_FRESH=1 the shared chains go instead, and
// no object of the module may remain.
void EndInput();

// A speed value from fuzz bytes: mostly within or near the accepted range, sometimes anything
// (NaN, infinities, huge, negative).
double FuzzedFactor(FuzzedDataProvider& fdp);
int FuzzedPitch(FuzzedDataProvider& fdp);

} // namespace fuzz
