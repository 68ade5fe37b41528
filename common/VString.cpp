#include "VString.h"

#include <string.h>
#include <wchar.h>

#include "GpErrorText.h"
#include "GpTrace.h"

bool VString::Alloc(int nCount, bool bZero)
{
    if (nCount < 0)
        nCount = 0;
    SIZE_T cbNeed = static_cast<SIZE_T>(nCount) * 2 + 2;
    HANDLE hHeap = GetProcessHeap();
    if (m_psz != nullptr)
    {
        SIZE_T cbHave = HeapSize(hHeap, 0, m_psz);
        if (cbHave != static_cast<SIZE_T>(-1) && cbHave > cbNeed)
            return true;
    }
    DWORD dwFlags = bZero ? HEAP_ZERO_MEMORY : 0;
    void* p = (m_psz != nullptr) ? HeapReAlloc(hHeap, dwFlags, m_psz, cbNeed + 8) : HeapAlloc(hHeap, dwFlags, cbNeed + 8);
    if (p == nullptr)
    {
        DWORD dwErr = GetLastError();
        if (dwErr == 0)
            dwErr = ERROR_NOT_ENOUGH_MEMORY;
        if (m_psz != nullptr)
            HeapFree(hHeap, 0, m_psz);
        m_psz = nullptr;
        GPTRACE(TRACE_FATAL, L"[%s] ！HAlloc<%d>\u3000｛%s｝", L"VString::Alloc", nCount, GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return false;
    }
    m_psz = static_cast<wchar_t*>(p);
    return true;
}

void VString::Copy(const wchar_t* psz)
{
    if (psz != nullptr && psz == m_psz)
        return;
    if (psz == nullptr)
    {
        Clear();
        return;
    }
    int nLen = lstrlenW(psz);
    // The source may live inside our own block (a tail of it): keep it alive until copied.
    wchar_t* pOld = nullptr;
    if (m_psz != nullptr && psz > m_psz && psz < m_psz + GetCapacity())
    {
        pOld = m_psz;
        m_psz = nullptr;
    }
    if (!Alloc(nLen, false))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！Alloc\u3000｛%s｝\u3000for len=%d <%s>", L"VString::Copy",
                GpErrText(static_cast<int>(dwErr)), nLen, psz);
        if (pOld != nullptr)
            HeapFree(GetProcessHeap(), 0, pOld);
        SetLastError(dwErr);
        return;
    }
    memcpy(m_psz, psz, (static_cast<size_t>(nLen) + 1) * sizeof(wchar_t));
    if (pOld != nullptr)
        HeapFree(GetProcessHeap(), 0, pOld);
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
    if (m_psz != nullptr && psz >= m_psz && psz < m_psz + GetCapacity())
    {
        tmp.Copy(psz);
        psz = tmp.c_str();
    }
    // Zero-filled, so that a string that was null reads as empty before the append.
    if (!Alloc(nTotal, true))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_FATAL, L"[%s] ！Alloc<%d>\u3000｛%s｝", L"VString::Cat", nTotal, GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return;
    }
    memcpy(m_psz + nCur, psz, (static_cast<size_t>(nAdd) + 1) * sizeof(wchar_t));
}

void VString::Clear()
{
    if (m_psz != nullptr)
        HeapFree(GetProcessHeap(), 0, m_psz);
    m_psz = nullptr;
}

int VString::GetCapacity() const
{
    if (m_psz == nullptr)
        return 0;
    SIZE_T cb = HeapSize(GetProcessHeap(), 0, m_psz);
    return cb == static_cast<SIZE_T>(-1) ? 0 : static_cast<int>(cb / sizeof(wchar_t));
}

void VString::AppendUnlessPresent(const wchar_t* pszSuffix)
{
    VString suffix(pszSuffix); // released in every case
    if (m_psz == nullptr || suffix.IsEmpty())
        return;
    int nLen = GetLength();
    int nSuf = suffix.GetLength();
    if (nLen >= nSuf && wcscmp(m_psz + nLen - nSuf, suffix.c_str()) == 0)
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
