// Helpers shared by the framework tests.
#pragma once

#include "HresultAssertions.h"
#include "framework/AudioTypes.h"

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
    return AudioType(WaveFormat(nChannels, nSamplesPerSec, wBitsPerSample));
}
