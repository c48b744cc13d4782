// The speed filter driven from outside, as a host drives it: the module file loaded at run
// time, the filter made by its class factory, fake source and sink filters around it in the
// framework's graph. Every test ends with no object of the module or of the test alive.
#pragma once

#include "HresultAssertions.h"
#include "common/AudioTypes.h"

#include "ComPtr.h"
#include "IVelomixProp.h"
#include "ModuleLoader.h"
#include "Signals.h"
#include "Unknown.h"
#include "posix/CollectingSink.h"
#include "posix/FilterGraph.h"
#include "posix/PushSource.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// A provider that streams PCM in chunks of a fixed size and calls a hook before each chunk
// (on the streaming thread), so a test can change the filter mid-stream.
class CChunkProvider final : public CSampleProvider {
public:
    using Hook = std::function<void(int chunk, SourceChunk& c)>;
    CChunkProvider(const WAVEFORMATEX& wfx, std::vector<uint8_t> data, LONG cbChunk,
                   Hook hook = {});
    HRESULT FillBuffer(BYTE* pBuffer, LONG cbBuffer, SourceChunk* pChunk) override;
    REFERENCE_TIME Duration() const noexcept override;

private:
    WAVEFORMATEX m_wfx;
    std::vector<uint8_t> m_Data;
    LONG m_cbChunk;
    Hook m_Hook;
    size_t m_Offset = 0;
    int m_Chunk = 0;
};

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static CModuleLoader& Module();
    // The settings folder the filters of this test use (created by the filter).
    std::string SettingsFolder() const { return m_ConfigHome + "/Korvane/Player"; }
    void WriteSettings(const std::string& text);

    ComPtr<IBaseFilter> CreateFilter();
    static ComPtr<IPin> Pin(IBaseFilter* pFilter, const wchar_t* id);
    static ComPtr<IVelomixProp> Prop(IBaseFilter* pFilter);

    // Holds the streaming thread inside the sink at each sample, as a renderer does, until
    // Open(). Shared with the sink's callback, so it outlives whichever of the two goes last.
    class SinkHold {
    public:
        HRESULT OnSample();
        // False when no sample arrived within timeoutMs.
        bool WaitUntilHeld(DWORD timeoutMs);
        void Open();

    private:
        std::mutex m_mutex;
        std::condition_variable m_cv;
        bool m_bHeld = false;
        bool m_bOpen = false;
    };

    // source -> Velomix -> sink, connected, stopped. The chain owns its references and lets
    // them go as a host does when it goes out of scope, also when a failed assertion ends the
    // test early: it opens a sink hold, stops a graph still running, then releases.
    struct Chain {
        ComPtr<CFilterGraph> graph;
        ComPtr<CPushSource> source;
        ComPtr<IBaseFilter> filter;
        ComPtr<CCollectingSink> sink;
        ComPtr<IVelomixProp> prop;
        std::shared_ptr<SinkHold> hold; // BuildHeldChain only

        Chain() = default;
        Chain(Chain&&) = default;
        Chain& operator=(Chain&&) = delete;
        ~Chain() { Release(*this); }
    };
    Chain BuildChain(const CMediaType& mt, std::unique_ptr<CSampleProvider> provider, LONG cbBuffer,
                     LONG cBuffers = 4, CCollectingSink::Options sinkOptions = {});
    // The same with a sink that holds every sample until the hold is opened.
    Chain BuildHeldChain(const CMediaType& mt, std::unique_ptr<CSampleProvider> provider,
                         LONG cbBuffer);
    // Runs until the sink has the end of stream; then stops.
    static void RunToEnd(Chain& chain, DWORD timeoutMs = 30000);
    // Runs a held chain and, once the streaming thread is held in the sink, seeks the output
    // pin to position from another thread, lets the held sample go once the flush has reached
    // the sink, waits for the end of stream and stops.
    static void SeekWhileHeld(Chain& chain, LONGLONG position);
    // Everything the sink received, concatenated.
    static std::vector<uint8_t> Output(const Chain& chain);
    // Tears the chain down in the order a host does (the chain's destructor does it too).
    static void Release(Chain& chain);

private:
    std::string m_ConfigHome;
    long m_cObjectsAtStart = 0;
};
