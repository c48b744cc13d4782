#include "FrameworkTest.h"

#include "Platform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

class AllocatorTest : public FrameworkTest {
protected:
    ComPtr<IMemAllocator> Make(LONG cBuffers, LONG cbBuffer, LONG cbAlign = 1, LONG cbPrefix = 0,
                               bool bCommit = true) {
        ComPtr<IMemAllocator> pAlloc;
        EXPECT_HR(S_OK, CreateMemoryAllocator(&pAlloc));
        ALLOCATOR_PROPERTIES req{cBuffers, cbBuffer, cbAlign, cbPrefix}, act{};
        EXPECT_HR(S_OK, pAlloc->SetProperties(&req, &act));
        if (bCommit) {
            EXPECT_HR(S_OK, pAlloc->Commit());
        }
        return pAlloc;
    }
    static ComPtr<IMediaSample> Get(IMemAllocator* pAlloc, DWORD flags = 0) {
        ComPtr<IMediaSample> p;
        EXPECT_HR(S_OK, pAlloc->GetBuffer(&p, nullptr, nullptr, flags));
        return p;
    }
    static ComPtr<IMediaSample2> As2(IMediaSample* p) {
        ComPtr<IMediaSample2> p2;
        EXPECT_HR(S_OK, p->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&p2)));
        return p2;
    }
    static AM_SAMPLE2_PROPERTIES Props(IMediaSample* p) {
        AM_SAMPLE2_PROPERTIES props{};
        EXPECT_HR(S_OK, As2(p)->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)));
        return props;
    }
};

TEST_F(AllocatorTest, SetPropertiesValidatesAndReportsTheGrantedRoundedSizes) {
    ComPtr<IMemAllocator> pAlloc;
    ASSERT_HR(S_OK, CreateMemoryAllocator(&pAlloc));
    ALLOCATOR_PROPERTIES act{};
    ALLOCATOR_PROPERTIES props{};
    EXPECT_HR(E_POINTER, CreateMemoryAllocator(nullptr));
    EXPECT_HR(E_POINTER, pAlloc->SetProperties(nullptr, &act));
    EXPECT_HR(E_POINTER, pAlloc->SetProperties(&props, nullptr));
    EXPECT_HR(E_POINTER, pAlloc->GetProperties(nullptr));

    for (LONG align : {0, -4, 3, 12, 128 * 1024}) {
        ALLOCATOR_PROPERTIES req{2, 100, align, 0};
        EXPECT_HR(VFW_E_BADALIGN, pAlloc->SetProperties(&req, &act)) << align;
    }
    for (ALLOCATOR_PROPERTIES req : {ALLOCATOR_PROPERTIES{-1, 100, 1, 0},
                                     {1, -100, 1, 0},
                                     {1, 100, 1, -8},
                                     {1, 0x7FFFFFF0, 64, 64}}) {
        EXPECT_HR(E_INVALIDARG, pAlloc->SetProperties(&req, &act));
    }
    EXPECT_HR(S_OK, pAlloc->GetProperties(&props));
    EXPECT_EQ(props.cBuffers, 0) << "a refused request changes nothing";
    EXPECT_HR(VFW_E_SIZENOTSET, pAlloc->Commit());

    struct Case {
        ALLOCATOR_PROPERTIES req;
        LONG cbGranted;
    } const cases[] = {{{3, 1000, 1, 0}, 1000},
                       {{2, 1000, 64, 0}, 1024},
                       {{2, 1000, 64, 24}, 1000}, // prefix + buffer already 1024
                       {{2, 1000, 64, 30}, 1058}, // 1030 rounded to 1088, minus the prefix
                       {{1, 4096, 4096, 0}, 4096}};
    for (const Case& c : cases) {
        ALLOCATOR_PROPERTIES req = c.req;
        EXPECT_HR(S_OK, pAlloc->SetProperties(&req, &req)) << "actual may alias the request";
        EXPECT_EQ(req.cbBuffer, c.cbGranted);
        EXPECT_EQ(req.cBuffers, c.req.cBuffers);
        EXPECT_EQ(req.cbAlign, c.req.cbAlign);
        EXPECT_EQ(req.cbPrefix, c.req.cbPrefix);
        EXPECT_HR(S_OK, pAlloc->GetProperties(&props));
        EXPECT_EQ(std::memcmp(&props, &req, sizeof(props)), 0);
    }
}

TEST_F(AllocatorTest, BuffersAreAlignedBehindTheirPrefixAndDoNotOverlap) {
    const LONG align = 256, prefix = 40, count = 4;
    ComPtr<IMemAllocator> pAlloc = Make(count, 1000, align, prefix);
    ALLOCATOR_PROPERTIES props{};
    pAlloc->GetProperties(&props);
    std::vector<ComPtr<IMediaSample>> samples;
    std::vector<uintptr_t> starts;
    for (int i = 0; i < count; ++i) {
        samples.push_back(Get(pAlloc.Get()));
        BYTE* p = nullptr;
        ASSERT_HR(S_OK, samples.back()->GetPointer(&p));
        EXPECT_EQ(samples.back()->GetSize(), props.cbBuffer);
        EXPECT_EQ((reinterpret_cast<uintptr_t>(p) - prefix) % align, 0u);
        // The prefix and the whole buffer are ours to write (ASan checks the bounds).
        std::memset(p - prefix, 0x5A, static_cast<size_t>(prefix + props.cbBuffer));
        starts.push_back(reinterpret_cast<uintptr_t>(p));
    }
    std::sort(starts.begin(), starts.end());
    for (size_t i = 1; i < starts.size(); ++i)
        EXPECT_GE(starts[i] - starts[i - 1], static_cast<uintptr_t>(props.cbBuffer + prefix));
}

TEST_F(AllocatorTest, CommitDecommitCycleAndSamplesOutstanding) {
    ComPtr<IMemAllocator> pAlloc = Make(2, 512, 1, 0, false);
    ComPtr<IMediaSample> pSample;
    EXPECT_HR(VFW_E_NOT_COMMITTED, pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0));
    EXPECT_FALSE(pSample);
    EXPECT_HR(E_POINTER, pAlloc->GetBuffer(nullptr, nullptr, nullptr, 0));
    EXPECT_HR(S_OK, pAlloc->Decommit()) << "decommit when not committed";
    EXPECT_HR(S_OK, pAlloc->Commit());
    EXPECT_HR(S_OK, pAlloc->Commit()) << "a second commit is harmless";

    ALLOCATOR_PROPERTIES req{4, 64, 1, 0}, act{};
    EXPECT_HR(VFW_E_ALREADY_COMMITTED, pAlloc->SetProperties(&req, &act));

    pSample = Get(pAlloc.Get());
    BYTE* p = nullptr;
    pSample->GetPointer(&p);
    EXPECT_HR(S_OK, pAlloc->Decommit());
    EXPECT_HR(S_OK, pAlloc->Decommit());
    ComPtr<IMediaSample> pOther;
    EXPECT_HR(VFW_E_NOT_COMMITTED, pAlloc->GetBuffer(&pOther, nullptr, nullptr, AM_GBF_NOWAIT));
    EXPECT_HR(VFW_E_BUFFERS_OUTSTANDING, pAlloc->SetProperties(&req, &act));
    std::memset(p, 0xCC, 512); // still valid after Decommit

    // Commit while the decommit waits for the sample: the same buffers serve again.
    EXPECT_HR(S_OK, pAlloc->Commit());
    pOther = Get(pAlloc.Get(), AM_GBF_NOWAIT);
    ComPtr<IMediaSample> pThird;
    EXPECT_HR(VFW_E_TIMEOUT, pAlloc->GetBuffer(&pThird, nullptr, nullptr, AM_GBF_NOWAIT));
    pOther.Reset();
    pSample.Reset();

    // Decommitted with nothing out: the next commit allocates the new size.
    EXPECT_HR(S_OK, pAlloc->Decommit());
    EXPECT_HR(S_OK, pAlloc->SetProperties(&req, &act));
    EXPECT_HR(S_OK, pAlloc->Commit());
    std::vector<ComPtr<IMediaSample>> four;
    for (int i = 0; i < 4; ++i)
        four.push_back(Get(pAlloc.Get(), AM_GBF_NOWAIT));
    EXPECT_EQ(four.back()->GetSize(), 64);
}

TEST_F(AllocatorTest, ASampleOutKeepsItsAllocatorAndGoesBackOnLastRelease) {
    const long cStart = CBaseObject::ObjectsActive();
    ComPtr<IMemAllocator> pAlloc = Make(1, 256);
    ComPtr<IMediaSample> pSample = Get(pAlloc.Get());
    BYTE* pFirst = nullptr;
    pSample->GetPointer(&pFirst);

    EXPECT_EQ(pSample->AddRef(), 2u);
    EXPECT_EQ(pSample->Release(), 1u);
    ComPtr<IUnknown> pUnk;
    EXPECT_HR(S_OK, pSample->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk)));
    pUnk.Reset();
    EXPECT_HR(E_NOINTERFACE,
              pSample->QueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&pUnk)));
    EXPECT_FALSE(pUnk);
    ComPtr<IMediaSample> pNone;
    EXPECT_HR(VFW_E_TIMEOUT, pAlloc->GetBuffer(&pNone, nullptr, nullptr, AM_GBF_NOWAIT));

    // Our last reference to the allocator goes; the sample keeps it alive.
    IMemAllocator* pRaw = pAlloc.Get();
    pAlloc.Reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), cStart + 1);
    std::memset(pFirst, 1, 256);
    pAlloc = ComPtr<IMemAllocator>(pRaw);
    pSample.Reset(); // back to the allocator, which is free to hand it out again
    pSample = Get(pAlloc.Get(), AM_GBF_NOWAIT);
    BYTE* pAgain = nullptr;
    pSample->GetPointer(&pAgain);
    EXPECT_EQ(pAgain, pFirst);

    pAlloc.Reset();
    pSample.Reset(); // the sample held the last reference
    EXPECT_EQ(CBaseObject::ObjectsActive(), cStart);
}

TEST_F(AllocatorTest, ReleaseBufferRefusesWhatIsNotAReleasedSampleOfItsOwn) {
    ComPtr<IMemAllocator> pAlloc = Make(1, 64);
    ComPtr<IMemAllocator> pOther = Make(1, 64);
    ComPtr<IMediaSample> pSample = Get(pAlloc.Get());
    EXPECT_HR(E_POINTER, pAlloc->ReleaseBuffer(nullptr));
    EXPECT_HR(E_INVALIDARG, pOther->ReleaseBuffer(pSample.Get())) << "not its sample";
    EXPECT_HR(E_INVALIDARG, pAlloc->ReleaseBuffer(pSample.Get())) << "still referenced";
    ComPtr<IMediaSample> pNone;
    EXPECT_HR(VFW_E_TIMEOUT, pAlloc->GetBuffer(&pNone, nullptr, nullptr, AM_GBF_NOWAIT))
        << "a refused release keeps the sample out";
}

TEST_F(AllocatorTest, BlockedGetBufferWakesOnReleaseAndOnDecommit) {
    ComPtr<IMemAllocator> pAlloc = Make(1, 64);
    ComPtr<IMediaSample> pHeld = Get(pAlloc.Get());

    // Woken by a returned buffer: the waiter gets that very buffer.
    BYTE* pHeldBuffer = nullptr;
    pHeld->GetPointer(&pHeldBuffer);
    std::atomic<HRESULT> hrWaiter{E_FAIL};
    std::atomic<BYTE*> pGot{nullptr};
    std::thread waiter([&] {
        IMediaSample* p = nullptr;
        hrWaiter = pAlloc->GetBuffer(&p, nullptr, nullptr, 0);
        if (p) {
            BYTE* pb = nullptr;
            p->GetPointer(&pb);
            pGot = pb;
            p->Release();
        }
    });
    std::this_thread::sleep_for(
        std::chrono::milliseconds(20)); // let it block (either order passes)
    pHeld.Reset();
    waiter.join();
    EXPECT_HR(S_OK, hrWaiter.load());
    EXPECT_EQ(pGot.load(), pHeldBuffer);

    // Woken by Decommit from another thread: no buffer, VFW_E_NOT_COMMITTED.
    pHeld = Get(pAlloc.Get());
    std::thread blocked([&] {
        IMediaSample* p = nullptr;
        hrWaiter = pAlloc->GetBuffer(&p, nullptr, nullptr, 0);
        if (p)
            p->Release();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_HR(S_OK, pAlloc->Decommit());
    blocked.join();
    EXPECT_HR(VFW_E_NOT_COMMITTED, hrWaiter.load());
}

TEST_F(AllocatorTest, ConcurrentGetAndReleaseNeverHandsOutABufferTwice) {
    ComPtr<IMemAllocator> pAlloc = Make(3, 32);
    constexpr int kThreads = 4, kRounds = 2000;
    std::atomic<int> inUse[3] = {};
    std::atomic<int> doubleHandOuts{0};
    std::vector<BYTE*> buffers;
    {
        std::vector<ComPtr<IMediaSample>> all;
        for (int i = 0; i < 3; ++i) {
            all.push_back(Get(pAlloc.Get()));
            BYTE* p = nullptr;
            all.back()->GetPointer(&p);
            buffers.push_back(p);
        }
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                IMediaSample* p = nullptr;
                if (FAILED(pAlloc->GetBuffer(&p, nullptr, nullptr, 0)))
                    return;
                BYTE* pb = nullptr;
                p->GetPointer(&pb);
                const size_t slot = static_cast<size_t>(
                    std::find(buffers.begin(), buffers.end(), pb) - buffers.begin());
                if (slot >= 3 || inUse[slot]++ != 0)
                    ++doubleHandOuts;
                pb[0] = static_cast<BYTE>(i);
                if (slot < 3)
                    --inUse[slot];
                p->Release();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(doubleHandOuts.load(), 0);
    // All three came home.
    std::vector<ComPtr<IMediaSample>> again;
    for (int i = 0; i < 3; ++i)
        again.push_back(Get(pAlloc.Get(), AM_GBF_NOWAIT));
}

// ---- samples -------------------------------------------------------------------------------

TEST_F(AllocatorTest, SampleTimesFollowThePlatformRules) {
    ComPtr<IMemAllocator> pAlloc = Make(1, 64);
    ComPtr<IMediaSample> pSample = Get(pAlloc.Get());
    REFERENCE_TIME start = 111, stop = 222;
    EXPECT_HR(VFW_E_SAMPLE_TIME_NOT_SET, pSample->GetTime(&start, &stop));
    EXPECT_EQ(start, 111);
    EXPECT_HR(E_POINTER, pSample->GetTime(nullptr, &stop));

    REFERENCE_TIME t0 = 0x123, t1 = 0x321;
    EXPECT_HR(S_OK, pSample->SetTime(&t0, nullptr));
    EXPECT_HR(VFW_S_NO_STOP_TIME, pSample->GetTime(&start, &stop));
    EXPECT_EQ(start, 0x123);
    EXPECT_EQ(stop, 0x124);
    EXPECT_EQ(Props(pSample.Get()).dwSampleFlags, DWORD(AM_SAMPLE_TIMEVALID));

    EXPECT_HR(S_OK, pSample->SetTime(&t0, &t1));
    EXPECT_HR(S_OK, pSample->GetTime(&start, &stop));
    EXPECT_EQ(stop, 0x321);
    EXPECT_EQ(Props(pSample.Get()).dwSampleFlags, DWORD(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID));

    EXPECT_HR(S_OK, pSample->SetTime(nullptr, &t1)) << "no start clears both";
    EXPECT_HR(VFW_E_SAMPLE_TIME_NOT_SET, pSample->GetTime(&start, &stop));
    EXPECT_EQ(Props(pSample.Get()).dwSampleFlags, 0u);

    LONGLONG m0 = 7, m1 = 9;
    EXPECT_HR(VFW_E_MEDIA_TIME_NOT_SET, pSample->GetMediaTime(&m0, &m1));
    EXPECT_HR(E_POINTER, pSample->SetMediaTime(&m0, nullptr));
    EXPECT_HR(VFW_E_MEDIA_TIME_NOT_SET, pSample->GetMediaTime(&m0, &m1));
    LONGLONG a = 1000, b = 2000;
    EXPECT_HR(S_OK, pSample->SetMediaTime(&a, &b));
    EXPECT_HR(S_OK, pSample->GetMediaTime(&m0, &m1));
    EXPECT_EQ(m0, 1000);
    EXPECT_EQ(m1, 2000);
    EXPECT_EQ(Props(pSample.Get()).dwSampleFlags, 0u) << "media time is not a sample flag";
    EXPECT_HR(S_OK, pSample->SetMediaTime(nullptr, nullptr));
    EXPECT_HR(VFW_E_MEDIA_TIME_NOT_SET, pSample->GetMediaTime(&m0, &m1));
}

TEST_F(AllocatorTest, SampleFlagsLengthAndMediaType) {
    ComPtr<IMemAllocator> pAlloc = Make(1, 100);
    ComPtr<IMediaSample> pSample = Get(pAlloc.Get());

    struct Flag {
        HRESULT (STDMETHODCALLTYPE IMediaSample::*is)();
        HRESULT (STDMETHODCALLTYPE IMediaSample::*set)(BOOL);
        DWORD bit;
    } const flags[] = {
        {&IMediaSample::IsSyncPoint, &IMediaSample::SetSyncPoint, AM_SAMPLE_SPLICEPOINT},
        {&IMediaSample::IsPreroll, &IMediaSample::SetPreroll, AM_SAMPLE_PREROLL},
        {&IMediaSample::IsDiscontinuity, &IMediaSample::SetDiscontinuity,
         AM_SAMPLE_DATADISCONTINUITY}};
    for (const Flag& f : flags) {
        IMediaSample* p = pSample.Get();
        EXPECT_HR(S_FALSE, (p->*f.is)());
        EXPECT_HR(S_OK, (p->*f.set)(TRUE));
        EXPECT_HR(S_OK, (p->*f.is)());
        EXPECT_EQ(Props(p).dwSampleFlags, f.bit);
        EXPECT_HR(S_OK, (p->*f.set)(FALSE));
        EXPECT_HR(S_FALSE, (p->*f.is)());
    }

    EXPECT_EQ(pSample->GetActualDataLength(), 100) << "a fresh buffer is full";
    EXPECT_HR(VFW_E_BUFFER_OVERFLOW, pSample->SetActualDataLength(101));
    EXPECT_HR(VFW_E_BUFFER_OVERFLOW, pSample->SetActualDataLength(-1));
    EXPECT_EQ(pSample->GetActualDataLength(), 100);
    EXPECT_HR(S_OK, pSample->SetActualDataLength(0));
    EXPECT_HR(S_OK, pSample->SetActualDataLength(42));
    EXPECT_EQ(pSample->GetActualDataLength(), 42);
    EXPECT_HR(E_POINTER, pSample->GetPointer(nullptr));

    AM_MEDIA_TYPE* pmt = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    EXPECT_HR(S_FALSE, pSample->GetMediaType(&pmt));
    EXPECT_EQ(pmt, nullptr);
    EXPECT_HR(E_POINTER, pSample->GetMediaType(nullptr));
    CMediaType type = PcmType(2, 44100, 16);
    EXPECT_HR(S_OK, pSample->SetMediaType(&type));
    type.ResetFormatBuffer(); // the sample kept its own copy
    EXPECT_HR(S_OK, pSample->GetMediaType(&pmt));
    ASSERT_NE(pmt, nullptr);
    EXPECT_TRUE(CMediaType(*pmt) == PcmType(2, 44100, 16));
    DeleteMediaType(pmt);
    EXPECT_EQ(Props(pSample.Get()).dwSampleFlags, DWORD(AM_SAMPLE_TYPECHANGED));
    EXPECT_HR(S_OK, pSample->SetMediaType(nullptr));
    EXPECT_HR(S_FALSE, pSample->GetMediaType(&pmt));
    EXPECT_EQ(Props(pSample.Get()).dwSampleFlags, 0u);
}

TEST_F(AllocatorTest, AHandedOutSampleStartsCleanButKeepsItsLength) {
    ComPtr<IMemAllocator> pAlloc = Make(1, 100);
    ComPtr<IMediaSample> pSample = Get(pAlloc.Get());
    REFERENCE_TIME t0 = 5, t1 = 6;
    LONGLONG m0 = 1, m1 = 2;
    CMediaType type = PcmType(1, 8000, 8);
    pSample->SetTime(&t0, &t1);
    pSample->SetMediaTime(&m0, &m1);
    pSample->SetSyncPoint(TRUE);
    pSample->SetPreroll(TRUE);
    pSample->SetDiscontinuity(TRUE);
    pSample->SetMediaType(&type);
    pSample->SetActualDataLength(17);
    pSample.Reset();

    // Times passed to GetBuffer are hints: they are not stamped on the sample.
    ASSERT_HR(S_OK, pAlloc->GetBuffer(&pSample, &t0, &t1, 0));
    const AM_SAMPLE2_PROPERTIES props = Props(pSample.Get());
    EXPECT_EQ(props.dwSampleFlags, 0u);
    EXPECT_EQ(props.pMediaType, nullptr);
    EXPECT_EQ(props.dwStreamId, DWORD(AM_STREAM_MEDIA));
    EXPECT_EQ(props.lActual, 17);
    EXPECT_HR(VFW_E_SAMPLE_TIME_NOT_SET, pSample->GetTime(&t0, &t1));
    EXPECT_HR(VFW_E_MEDIA_TIME_NOT_SET, pSample->GetMediaTime(&m0, &m1));
}

TEST_F(AllocatorTest, Sample2PropertiesRoundTripAndRefusalsChangeNothing) {
    ComPtr<IMemAllocator> pAlloc = Make(1, 100);
    ComPtr<IMediaSample> pSample = Get(pAlloc.Get());
    ComPtr<IMediaSample2> p2 = As2(pSample.Get());
    BYTE* pBuffer = nullptr;
    pSample->GetPointer(&pBuffer);

    AM_SAMPLE2_PROPERTIES props = Props(pSample.Get());
    EXPECT_EQ(props.cbData, sizeof(props));
    EXPECT_EQ(props.pbBuffer, pBuffer);
    EXPECT_EQ(props.cbBuffer, 100);

    CMediaType type = PcmType(2, 48000, 16);
    props.dwTypeSpecificFlags = 0x77;
    props.dwSampleFlags = AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID | AM_SAMPLE_SPLICEPOINT |
                          AM_SAMPLE_DATADISCONTINUITY | AM_SAMPLE_TYPECHANGED;
    props.lActual = 60;
    props.tStart = 1000;
    props.tStop = 2000;
    props.pMediaType = &type;
    EXPECT_HR(S_OK, p2->SetProperties(sizeof(props), reinterpret_cast<const BYTE*>(&props)));

    REFERENCE_TIME t0 = 0, t1 = 0;
    EXPECT_HR(S_OK, pSample->GetTime(&t0, &t1));
    EXPECT_EQ(t0, 1000);
    EXPECT_EQ(t1, 2000);
    EXPECT_HR(S_OK, pSample->IsSyncPoint());
    EXPECT_HR(S_OK, pSample->IsDiscontinuity());
    EXPECT_HR(S_FALSE, pSample->IsPreroll());
    EXPECT_EQ(pSample->GetActualDataLength(), 60);
    AM_MEDIA_TYPE* pmt = nullptr;
    EXPECT_HR(S_OK, pSample->GetMediaType(&pmt));
    ASSERT_NE(pmt, nullptr);
    EXPECT_TRUE(CMediaType(*pmt) == type);
    DeleteMediaType(pmt);

    const AM_SAMPLE2_PROPERTIES before = Props(pSample.Get());
    EXPECT_EQ(before.dwTypeSpecificFlags, 0x77u);
    EXPECT_NE(before.pMediaType, &type) << "the sample keeps a copy";

    // Each refusal leaves every property as it was.
    const auto refuse = [&](AM_SAMPLE2_PROPERTIES bad, DWORD cb, HRESULT expected) {
        bad.dwTypeSpecificFlags = 0x99;
        EXPECT_HR(expected, p2->SetProperties(cb, reinterpret_cast<const BYTE*>(&bad)));
        const AM_SAMPLE2_PROPERTIES now = Props(pSample.Get());
        EXPECT_EQ(std::memcmp(&now, &before, sizeof(now)), 0);
    };
    AM_SAMPLE2_PROPERTIES bad = before;
    bad.pbBuffer = pBuffer + 1;
    refuse(bad, sizeof(bad), E_INVALIDARG);
    bad = before;
    bad.lActual = 101;
    refuse(bad, sizeof(bad), E_INVALIDARG);
    bad = before;
    bad.dwSampleFlags |= 0x20; // not a sample flag
    refuse(bad, sizeof(bad), E_INVALIDARG);
    bad = before;
    bad.pMediaType = nullptr;
    refuse(bad, sizeof(bad), E_POINTER);
    bad = before;
    refuse(bad, sizeof(bad) + 4, E_INVALIDARG);
    EXPECT_HR(E_POINTER, p2->SetProperties(sizeof(props), nullptr));
    EXPECT_HR(E_POINTER, p2->GetProperties(sizeof(props), nullptr));

    // A short record sets only the fields it covers; cbData limits it further.
    AM_SAMPLE2_PROPERTIES head = before;
    head.cbData = offsetof(AM_SAMPLE2_PROPERTIES, tStart);
    head.dwSampleFlags = AM_SAMPLE_PREROLL;
    head.lActual = 5;
    head.tStart = 1; // beyond cbData: ignored
    EXPECT_HR(S_OK, p2->SetProperties(sizeof(head), reinterpret_cast<const BYTE*>(&head)));
    EXPECT_HR(S_OK, pSample->IsPreroll());
    EXPECT_HR(VFW_E_SAMPLE_TIME_NOT_SET, pSample->GetTime(&t0, &t1));
    EXPECT_EQ(pSample->GetActualDataLength(), 5);
    EXPECT_EQ(Props(pSample.Get()).tStart, 1000);
    EXPECT_HR(S_OK, pSample->GetMediaType(&pmt)) << "the type stays and so does its flag";
    DeleteMediaType(pmt);

    // Making a time valid without giving it is refused.
    pSample->SetTime(nullptr, nullptr);
    head.dwSampleFlags = AM_SAMPLE_TIMEVALID;
    EXPECT_HR(E_INVALIDARG, p2->SetProperties(sizeof(head), reinterpret_cast<const BYTE*>(&head)));
}

} // namespace
