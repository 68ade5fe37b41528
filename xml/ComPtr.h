#pragma once
#include <objbase.h>
#include <unknwn.h>

// The calling thread's COM apartment, entered for the owner's lifetime: left again only when
// entering it succeeded (S_FALSE too: the thread was already inside and the count went up).
class GpComApartment
{
public:
    explicit GpComApartment(DWORD dwCoInit = COINIT_APARTMENTTHREADED)
        : m_hr(CoInitializeEx(nullptr, dwCoInit))
    {
    }
    ~GpComApartment()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    GpComApartment(const GpComApartment&) = delete;
    GpComApartment& operator=(const GpComApartment&) = delete;
    HRESULT Result() const { return m_hr; }
    bool Entered() const { return SUCCEEDED(m_hr); }

private:
    HRESULT m_hr;
};

// Owner of one COM interface reference: released when the owner goes, so no path can leak it.
template <typename T> class GpComPtr
{
public:
    GpComPtr() = default;
    GpComPtr(const GpComPtr&) = delete;
    GpComPtr& operator=(const GpComPtr&) = delete;
    GpComPtr(GpComPtr&& other) noexcept : m_p(other.Detach()) {}
    GpComPtr& operator=(GpComPtr&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }
    ~GpComPtr() { Reset(); }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    // Takes over a reference the caller already holds.
    void Reset(T* p = nullptr)
    {
        if (m_p != nullptr)
            m_p->Release();
        m_p = p;
    }
    // For out-parameters of the interfaces: releases what is held first.
    T** Put()
    {
        Reset();
        return &m_p;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

private:
    T* m_p = nullptr;
};
