#include "common/GpErrorText.h"

#include <errno.h>
#include <string.h>
#include <wchar.h>

#include "common/GpFormat.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"

wchar_t* GpErrorText(wchar_t* pBuf, int nCode)
{
    if (pBuf == nullptr)
        return nullptr;
    DWORD dwCode = (nCode == -1) ? GetLastError() : static_cast<DWORD>(nCode);
    if (dwCode == 0)
    {
        GpFormat(pBuf, GP_ERRTEXT_CCH, L"NO_ERROR");
        return pBuf;
    }
    if (dwCode == ERROR_OK)
    {
        GpFormat(pBuf, GP_ERRTEXT_CCH, L"ERROR_OK");
        return pBuf;
    }
    if (dwCode == ERROR_NON)
    {
        GpFormat(pBuf, GP_ERRTEXT_CCH, L"ERROR_NON");
        return pBuf;
    }
    wchar_t szSys[GP_ERRTEXT_CCH];
    if (!GpSystemMessage(dwCode, szSys, GP_ERRTEXT_CCH))
        GpFormat(pBuf, GP_ERRTEXT_CCH, L"？？？ (%u:0x%08X)", dwCode, dwCode);
    else
        GpFormat(pBuf, GP_ERRTEXT_CCH, L"%s (%u:0x%08X)", szSys, dwCode, dwCode);
    return pBuf;
}

bool GpSystemMessage(DWORD dwCode, wchar_t* pBuf, size_t cchBuf)
{
    if (pBuf == nullptr || cchBuf == 0)
        return false;
    // The system sizes the text itself: a fixed buffer would fail for a long one.
    GpLocalBlock text;
    DWORD cch = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, dwCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                               reinterpret_cast<wchar_t*>(text.Put()), 0, nullptr);
    wchar_t* pszSys = static_cast<wchar_t*>(text.Get());
    if (cch == 0 || pszSys == nullptr)
        return false;
    if (cch > 2 && pszSys[cch - 2] == L'\r' && pszSys[cch - 1] == L'\n')
        pszSys[cch - 2] = L'\0';
    GpFormat(pBuf, cchBuf, L"%s", pszSys);
    return true;
}

wchar_t* GpCrtErrorText(int nErrNo)
{
    static wchar_t s_szCrtText[256];
    if (nErrNo < 0)
        nErrNo = errno;
    wchar_t szText[201];
    errno_t et = _wcserror_s(szText, 201, nErrNo);
    if (et == 0)
        GpFormat(s_szCrtText, 256, L"%s\u3000(%d:0x%08X)", szText, nErrNo, nErrNo);
    else
        GpFormat(s_szCrtText, 256, L"？？et=%d.\u3000(%d:0x%08X)", et, nErrNo, nErrNo);
    return s_szCrtText;
}

wchar_t* GpErrText(int nCode)
{
    static thread_local wchar_t t_szErrText[GP_ERRTEXT_CCH];
    return GpErrorText(t_szErrText, nCode);
}
