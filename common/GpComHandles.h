#pragma once
// Owners for COM: the thread's apartment, interface references and the two value kinds the
// interfaces hand out (BSTR texts and VARIANTs).
#include <objbase.h>
#include <oleauto.h>
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

// A text of the COM interfaces, freed when the owner goes. Null when it could not be allocated.
class GpBstr
{
public:
    GpBstr() = default;
    explicit GpBstr(const wchar_t* psz) : m_bstr(SysAllocString(psz)) {}
    ~GpBstr() { SysFreeString(m_bstr); }
    GpBstr(const GpBstr&) = delete;
    GpBstr& operator=(const GpBstr&) = delete;

    BSTR Get() const { return m_bstr; }
    explicit operator bool() const { return m_bstr != nullptr; }

private:
    BSTR m_bstr = nullptr;
};

// A VARIANT cleared when the owner goes, so that a text or reference it holds is released.
class GpVariant
{
public:
    GpVariant() { VariantInit(&m_v); }
    ~GpVariant() { VariantClear(&m_v); }
    GpVariant(const GpVariant&) = delete;
    GpVariant& operator=(const GpVariant&) = delete;

    // Holds a copy of psz as a string; false (and empty) when it could not be allocated.
    bool SetString(const wchar_t* psz)
    {
        VariantClear(&m_v);
        BSTR bstr = SysAllocString(psz);
        if (bstr == nullptr)
            return false;
        m_v.vt = VT_BSTR;
        m_v.bstrVal = bstr;
        return true;
    }
    // For out-parameters of the interfaces: clears what is held first.
    VARIANT* Put()
    {
        VariantClear(&m_v);
        return &m_v;
    }
    VARIANT& Get() { return m_v; }
    const VARIANT& Get() const { return m_v; }

private:
    VARIANT m_v;
};
