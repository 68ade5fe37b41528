#pragma once
#include <windows.h>

#include "common/GpHandles.h"

// Growable wide string held in one process-heap block. Null and an empty block both read as "".
// Its capacity is the block size the heap reports, so the object is a single pointer (its owner).
class VString
{
public:
    VString() = default;
    VString(const wchar_t* psz) { Copy(psz); }
    VString(const VString& other) { Copy(other.Psz()); }
    VString& operator=(const VString& other)
    {
        Copy(other.Psz());
        return *this;
    }
    VString& operator=(const wchar_t* psz)
    {
        Copy(psz);
        return *this;
    }
    ~VString() = default;

    // Room for nCount characters plus the terminator (negative counts count as 0).
    bool Alloc(int nCount, bool bZero);
    void Copy(const wchar_t* psz);
    void Cat(const wchar_t* psz);
    void Clear();

    // Appends pszSuffix unless the string already ends with it (nothing on a null string).
    void AppendUnlessPresent(const wchar_t* pszSuffix);

    const wchar_t* c_str() const { return m_block ? Psz() : L""; }
    operator const wchar_t*() const { return c_str(); }
    wchar_t* GetBuffer() { return Psz(); }
    bool IsNull() const { return !m_block; }
    bool IsEmpty() const { return !m_block || Psz()[0] == L'\0'; }
    int GetLength() const { return m_block ? lstrlenW(Psz()) : 0; }
    // Characters the block can hold, terminator included.
    int GetCapacity() const;

private:
    wchar_t* Psz() const { return static_cast<wchar_t*>(m_block.Get()); }

    GpHeapBlock m_block;
};

VString operator+(const wchar_t* pszLeft, const VString& right);
VString operator+(const VString& left, const VString& right);
