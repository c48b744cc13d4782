// A small owning COM pointer: one reference, released on destruction.
#pragma once

#include "com.h"

#include <utility>

template <class T> class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes an additional reference to p.
    explicit ComPtr(T* p) noexcept : m_p(p) {
        if (m_p)
            m_p->AddRef();
    }
    ComPtr(const ComPtr& o) noexcept : ComPtr(o.m_p) {}
    ComPtr(ComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& o) noexcept {
        ComPtr(o).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        ComPtr(std::move(o)).Swap(*this);
        return *this;
    }

    // Adopts a reference the caller already owns.
    static ComPtr Attach(T* p) noexcept {
        ComPtr r;
        r.m_p = p;
        return r;
    }
    T* Detach() noexcept { return std::exchange(m_p, nullptr); }

    void Reset() noexcept {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    void Swap(ComPtr& o) noexcept { std::swap(m_p, o.m_p); }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Out-parameter address; releases what is held first.
    T** operator&() noexcept {
        Reset();
        return &m_p;
    }

    // QueryInterface into another smart pointer.
    template <class U> HRESULT As(REFIID riid, ComPtr<U>* out) const noexcept {
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(riid, reinterpret_cast<void**>(&*out));
    }

private:
    T* m_p = nullptr;
};
