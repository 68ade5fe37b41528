#include "common/VString.h"

#include <string.h>
#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpTrace.h"

bool VString::Alloc(int nCount, bool bZero)
{
    if (nCount < 0)
        nCount = 0;
    SIZE_T cbNeed = static_cast<SIZE_T>(nCount) * 2 + 2;
    HANDLE hHeap = GetProcessHeap();
    if (m_block)
    {
        SIZE_T cbHave = HeapSize(hHeap, 0, m_block.Get());
        if (cbHave != static_cast<SIZE_T>(-1) && cbHave > cbNeed)
            return true;
    }
    DWORD dwFlags = bZero ? HEAP_ZERO_MEMORY : 0;
    void* p = m_block ? HeapReAlloc(hHeap, dwFlags, m_block.Get(), cbNeed + 8)
                      : HeapAlloc(hHeap, dwFlags, cbNeed + 8);
    if (p == nullptr)
    {
        DWORD dwErr = GetLastError();
        if (dwErr == 0)
            dwErr = ERROR_NOT_ENOUGH_MEMORY;
        m_block.Reset();
        GPTRACE(TRACE_FATAL, L"[%s] ！HAlloc<%d>\u3000｛%s｝", L"VString::Alloc", nCount,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return false;
    }
    m_block.Detach(); // reallocated: the old block is gone or is this one
    m_block.Reset(p);
    return true;
}

void VString::Copy(const wchar_t* psz)
{
    if (psz != nullptr && psz == Psz())
        return;
    if (psz == nullptr)
    {
        Clear();
        return;
    }
    int nLen = lstrlenW(psz);
    // The source may live inside our own block (a tail of it): keep it alive until copied.
    GpHeapBlock old;
    if (m_block && psz > Psz() && psz < Psz() + GetCapacity())
        old.Reset(m_block.Detach());
    if (!Alloc(nLen, false))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！Alloc\u3000｛%s｝\u3000for len=%d <%s>", L"VString::Copy",
                GpErrText(static_cast<int>(dwErr)), nLen, psz);
        SetLastError(dwErr);
        return;
    }
    memcpy(Psz(), psz, (static_cast<size_t>(nLen) + 1) * sizeof(wchar_t));
}

void VString::Cat(const wchar_t* psz)
{
    if (psz == nullptr)
        return;
    int nCur = GetLength();
    int nAdd = lstrlenW(psz);
    int nTotal = nCur + nAdd + 1;
    // Appending a piece of ourselves: take a copy first, the block may move.
    VString tmp;
    if (m_block && psz >= Psz() && psz < Psz() + GetCapacity())
    {
        tmp.Copy(psz);
        psz = tmp.c_str();
    }
    // Zero-filled, so that a string that was null reads as empty before the append.
    if (!Alloc(nTotal, true))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_FATAL, L"[%s] ！Alloc<%d>\u3000｛%s｝", L"VString::Cat", nTotal,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return;
    }
    memcpy(Psz() + nCur, psz, (static_cast<size_t>(nAdd) + 1) * sizeof(wchar_t));
}

void VString::Clear()
{
    m_block.Reset();
}

int VString::GetCapacity() const
{
    if (!m_block)
        return 0;
    SIZE_T cb = HeapSize(GetProcessHeap(), 0, m_block.Get());
    return cb == static_cast<SIZE_T>(-1) ? 0 : static_cast<int>(cb / sizeof(wchar_t));
}

void VString::AppendUnlessPresent(const wchar_t* pszSuffix)
{
    VString suffix(pszSuffix); // released in every case
    if (!m_block || suffix.IsEmpty())
        return;
    int nLen = GetLength();
    int nSuf = suffix.GetLength();
    if (nLen >= nSuf && wcscmp(Psz() + nLen - nSuf, suffix.c_str()) == 0)
        return;
    Cat(suffix.c_str());
}

VString operator+(const wchar_t* pszLeft, const VString& right)
{
    VString s(pszLeft);
    s.Cat(right.c_str());
    return s;
}

VString operator+(const VString& left, const VString& right)
{
    VString s(left);
    s.Cat(right.c_str());
    return s;
}
