// Helpers shared by the framework tests.
#pragma once

#include "HresultAssertions.h"

#include "ComPtr.h"
#include "MediaType.h"
#include "Unknown.h"
#include "media.h"

#include <gtest/gtest.h>

#include <string>

// Each test ends with every framework object it made released.
class FrameworkTest : public ::testing::Test {
protected:
    void SetUp() override { m_cObjectsAtStart = CBaseObject::ObjectsActive(); }
    void TearDown() override {
        EXPECT_EQ(CBaseObject::ObjectsActive(), m_cObjectsAtStart) << "framework objects leaked";
    }

private:
    long m_cObjectsAtStart = 0;
};

// An audio PCM type in WAVEFORMATEX.
inline CMediaType PcmType(WORD nChannels, DWORD nSamplesPerSec, WORD wBitsPerSample) {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = nChannels;
    wfx.nSamplesPerSec = nSamplesPerSec;
    wfx.wBitsPerSample = wBitsPerSample;
    wfx.nBlockAlign = static_cast<WORD>(nChannels * wBitsPerSample / 8);
    wfx.nAvgBytesPerSec = nSamplesPerSec * wfx.nBlockAlign;
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_PCM);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetSampleSize(wfx.nBlockAlign);
    mt.SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof(wfx));
    return mt;
}
