// The speed filter driven from outside, as a host drives it: the module file loaded at run
// time, the filter made by its class factory, fake source and sink filters around it in the
// framework's graph. Every test ends with no object of the module or of the test alive.
#pragma once

#include "HresultAssertions.h"

#include "ComPtr.h"
#include "IVelomixProp.h"
#include "ModuleLoader.h"
#include "Signals.h"
#include "Unknown.h"
#include "posix/CollectingSink.h"
#include "posix/FilterGraph.h"
#include "posix/PushSource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

// {43FF79DC-A363-4DA5-AD5C-2137A9343451}
VMX_DEFINE_GUID(kClsidVelomix, 0x43FF79DC, 0xA363, 0x4DA5, 0xAD, 0x5C, 0x21, 0x37, 0xA9, 0x34, 0x34, 0x51);
// {EAD9CA8A-BD46-4ECF-89D5-EF7DD2D08C1E}
VMX_DEFINE_GUID(kClsidVelomixProp1, 0xEAD9CA8A, 0xBD46, 0x4ECF, 0x89, 0xD5, 0xEF, 0x7D, 0xD2, 0xD0, 0x8C, 0x1E);

WAVEFORMATEX WaveFormat(WORD channels, DWORD rate, WORD bits, WORD tag = WAVE_FORMAT_PCM);
CMediaType AudioType(const WAVEFORMATEX& wfx, const GUID& subtype = MEDIASUBTYPE_PCM);

// A provider that streams PCM in chunks of a fixed size and calls a hook before each chunk
// (on the streaming thread), so a test can change the filter mid-stream.
class CChunkProvider final : public CSampleProvider {
public:
    using Hook = std::function<void(int chunk, SourceChunk& c)>;
    CChunkProvider(const WAVEFORMATEX& wfx, std::vector<uint8_t> data, LONG cbChunk, Hook hook = {});
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

    // source -> Velomix -> sink, connected, stopped.
    struct Chain {
        ComPtr<CFilterGraph> graph;
        ComPtr<CPushSource> source;
        ComPtr<IBaseFilter> filter;
        ComPtr<CCollectingSink> sink;
        ComPtr<IVelomixProp> prop;
    };
    Chain BuildChain(const CMediaType& mt, std::unique_ptr<CSampleProvider> provider, LONG cbBuffer,
                     LONG cBuffers = 4, CCollectingSink::Options sinkOptions = {});
    // Runs until the sink has the end of stream; then stops.
    static void RunToEnd(Chain& chain, DWORD timeoutMs = 30000);
    // Everything the sink received, concatenated.
    static std::vector<uint8_t> Output(const Chain& chain);
    // Tears the chain down in the order a host does.
    static void Release(Chain& chain);

private:
    std::string m_ConfigHome;
    long m_cObjectsAtStart = 0;
};
