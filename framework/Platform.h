// Platform objects the base classes create: on Windows the system's own (CoCreateInstance),
// elsewhere the framework's equivalents with the same published behaviour.
#pragma once

#include "media.h"

// A new memory allocator (CLSID_MemoryAllocator), one reference owned by the caller.
HRESULT CreateMemoryAllocator(IMemAllocator** ppAlloc) noexcept;

// A seeking pass-through (CLSID_SeekingPassThru) aggregated by pOuter and initialised with
// ISeekingPassThru::Init(bRenderer, pPin): seeking and position calls made on it are
// forwarded to the pin connected upstream of pPin, unchanged. *ppInner receives the
// object's non-delegating IUnknown, owned by the caller (the aggregating owner).
HRESULT CreatePosPassThru(IUnknown* pOuter, BOOL bRenderer, IPin* pPin,
                          IUnknown** ppInner) noexcept;
