// The task allocator and apartment calls of COM for the native build.
#include "com.h"

#include <cstdlib>

extern "C" {

void* CoTaskMemAlloc(size_t cb) {
    // Windows hands out a distinct, freeable block even for zero bytes.
    return std::malloc(cb != 0 ? cb : 1);
}

void* CoTaskMemRealloc(void* pv, size_t cb) {
    if (!pv)
        return CoTaskMemAlloc(cb);
    if (cb == 0) {
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb);
}

void CoTaskMemFree(void* pv) {
    std::free(pv);
}

// No apartments here: every thread may call every object.
HRESULT CoInitialize(void*) {
    return S_OK;
}

void CoUninitialize() {}

} // extern "C"
