// Platform.h on Windows: the system's allocator and seeking pass-through behind the same
// contract as the native build's (the native tests hold the same expectations).
#include "CaptureSink.h"
#include "Harness.h"
#include "Platform.h"
#include "Support.h"

VMX_TEST(platform, memory_allocator) {
    CComScope com;
    CHECK_HR(E_POINTER, CreateMemoryAllocator(nullptr));

    ComPtr<IMemAllocator> pAlloc;
    REQUIRE_HR(S_OK, CreateMemoryAllocator(&pAlloc));
    REQUIRE(pAlloc, "an allocator");
    ALLOCATOR_PROPERTIES wanted{3, 4096, 1, 0};
    ALLOCATOR_PROPERTIES actual{};
    REQUIRE_HR(S_OK, pAlloc->SetProperties(&wanted, &actual));
    CHECK(actual.cBuffers >= 3 && actual.cbBuffer >= 4096, "at least what was asked: %ld x %ld",
          actual.cBuffers, actual.cbBuffer);
    // Not committed: no buffer yet.
    ComPtr<IMediaSample> pSample;
    CHECK_HR(VFW_E_NOT_COMMITTED, pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0));
    REQUIRE_HR(S_OK, pAlloc->Commit());
    REQUIRE_HR(S_OK, pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0));
    CHECK(pSample->GetSize() >= 4096, "a buffer of the agreed size");
    pSample.Reset();
    CHECK_HR(S_OK, pAlloc->Decommit());
}

VMX_TEST(platform, seeking_pass_through) {
    CComScope com;
    ComPtr<CCaptureSink> pSink = CCaptureSink::Create();
    REQUIRE(pSink, "a sink to aggregate the pass-through");
    IPin* pPin = pSink->GetPin(0);
    IUnknown* pInner = reinterpret_cast<IUnknown*>(1);
    CHECK_HR(E_POINTER, CreatePosPassThru(pSink->GetOwner(), FALSE, pPin, nullptr));
    CHECK_HR(E_POINTER, CreatePosPassThru(pSink->GetOwner(), FALSE, nullptr, &pInner));
    CHECK(pInner == nullptr, "the out-pointer is cleared on failure");

    // Aggregated: interfaces of the inner object answer for the owner's identity.
    REQUIRE_HR(S_OK, CreatePosPassThru(pSink->GetOwner(), FALSE, pPin, &pInner));
    ComPtr<IUnknown> pInnerRef = ComPtr<IUnknown>::Attach(pInner);
    ComPtr<IMediaSeeking> pSeeking;
    REQUIRE_HR(S_OK,
               pInnerRef->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&pSeeking)));
    ComPtr<IUnknown> pIdentity;
    CHECK_HR(S_OK, pSeeking->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity)));
    CHECK(pIdentity.Get() == pSink->GetOwner(), "the pass-through's IUnknown is its owner's");
    // Its pin is not connected: nothing to forward to.
    LONGLONG duration = 0;
    CHECK(FAILED(pSeeking->GetDuration(&duration)), "no duration without an upstream pin");
}
