#include "zip/ZLibExtraLocal.h"

#include <string.h>

#include "common/GpErrorText.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"

namespace
{
constexpr size_t ZEX_MAGIC_SIZE = 5;
constexpr size_t ZEX_OFS_SIZE = 5;
constexpr size_t ZEX_OFS_VERSION = 9;
constexpr size_t ZEX_OFS_PATHLEN = 13;
constexpr size_t ZEX_OFS_PATH = 15;
constexpr unsigned ZEX_MAX_PATHLEN = 32000;

const wchar_t* const ME = L"ZLibExtraLocal::LoadStream";

unsigned ReadLe(const BYTE* p, size_t cb)
{
    unsigned v = 0;
    for (size_t i = cb; i-- > 0;)
        v = (v << 8) | p[i];
    return v;
}
} // namespace

int ZLibExtraLocal::LoadStream(unzFile uf)
{
    int nSize = (uf != nullptr) ? unzGetLocalExtrafield(uf, nullptr, 0) : UNZ_PARAMERROR;
    if (nSize < 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！unzGetLocalExtrafield\u3000err=%d.", ME, nSize);
        return -79;
    }
    if (nSize == 0)
    {
        GPTRACE(TRACE_DEBUG, L"[%s] unzGetLocalExtrafield\u3000拡張データー無し。", ME);
        return ERROR_NON;
    }

    SIZE_T cbAlloc = static_cast<SIZE_T>(nSize) + 8;
    HANDLE hHeap = GetProcessHeap();
    void* p = m_pRaw ? HeapReAlloc(hHeap, 0, m_pRaw.Get(), cbAlloc) : HeapAlloc(hHeap, 0, cbAlloc);
    if (p == nullptr)
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！HAlloc(%u)\u3000｛%s｝", ME, static_cast<unsigned>(cbAlloc),
                GpErrText(static_cast<int>(dwErr)));
        return -90;
    }
    m_pRaw.Detach(); // reallocated: the old block is gone or is this one
    m_pRaw.Reset(p);
    const BYTE* pRaw = static_cast<const BYTE*>(p);

    int nRead = unzGetLocalExtrafield(uf, p, static_cast<unsigned>(nSize));
    if (nRead != nSize)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！unzGetLocalExtrafield\u3000err=%d.", ME, nRead);
        return -95;
    }
    const size_t cbField = static_cast<size_t>(nSize);

    // A field too short for the header cannot hold the record; the magic compare below must
    // not read past it either.
    if (cbField < ZEX_OFS_PATH || memcmp(pRaw, ZEX_MAGICNAME, ZEX_MAGIC_SIZE) != 0)
    {
        GPTRACE(TRACE_WARNING, L"[%s] ZEX_MAGICNAME[0]=<%02X>.", ME, pRaw[0]);
        return ERROR_NON;
    }
    unsigned nSaved = ReadLe(pRaw + ZEX_OFS_SIZE, 4);
    if (nSaved != static_cast<unsigned>(cbField))
    {
        GPTRACE(TRACE_WARNING, L"[%s] size saved=%u, alloc=%u.", ME, nSaved, static_cast<unsigned>(cbField));
        return ERROR_NON;
    }
    m_nVersion = pRaw[ZEX_OFS_VERSION];
    if (m_nVersion != 1)
    {
        GPTRACE(TRACE_WARNING, L"[%s] m_nVersion=%d.", ME, m_nVersion);
        return ERROR_NON;
    }
    unsigned nLen = ReadLe(pRaw + ZEX_OFS_PATHLEN, 2);
    // A path running past the end of the field is as unusable as a bad length.
    if (nLen == 0 || nLen > ZEX_MAX_PATHLEN || ZEX_OFS_PATH + nLen * 2 > cbField)
    {
        GPTRACE(TRACE_WARNING, L"[%s] RelPath len=%u.", ME, nLen);
        return ERROR_NON;
    }
    if (!RelPath.Alloc(static_cast<int>(nLen), false))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！RelPath.Alloc(%d)\u3000｛%s｝", ME, nSize,
                GpErrText(static_cast<int>(dwErr)));
        return -134;
    }
    // Alloc leaves room for the terminator: the path stays terminated whether or not it holds a NUL.
    wchar_t* psz = RelPath.GetBuffer();
    memcpy(psz, pRaw + ZEX_OFS_PATH, nLen * sizeof(wchar_t));
    psz[nLen] = L'\0';
    return ERROR_OK;
}
