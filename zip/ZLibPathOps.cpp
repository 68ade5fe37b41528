#include "ZLibPathOps.h"

#include <string.h>
#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"
#include "common/VString.h"

namespace
{
bool IsFolder(const wchar_t* psz)
{
    DWORD dw = GetFileAttributesW(psz);
    return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsLongForm(const wchar_t* psz)
{
    return wcslen(psz) >= 4 && _wcsnicmp(psz, L"\\\\?\\", 4) == 0;
}

// Index of the backslash before which nothing is created, or -1 for a malformed network path.
int RootEnd(const wchar_t* psz)
{
    const wchar_t* pNet = nullptr;
    if (IsLongForm(psz))
    {
        if (_wcsnicmp(psz + 4, L"UNC\\", 4) != 0)
            return 6;
        pNet = psz + 8;
    }
    else if (psz[0] == L'\\' && psz[1] == L'\\')
        pNet = psz + 2;
    else
        return 2;
    const wchar_t* pPc = wcschr(pNet, L'\\');
    if (pPc == nullptr)
        return -1;
    const wchar_t* pShare = wcschr(pPc + 1, L'\\');
    if (pShare == nullptr)
        return -1;
    return static_cast<int>(pShare - psz);
}
} // namespace

namespace zippath
{
int CheckPathLimit(const wchar_t* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == L'\0')
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！ISVALID_PSTR\u3000｛%s｝\u3000parh=<%s>", L"CheckPathLimit",
                GpErrText(ERROR_BAD_PATHNAME), pszPath);
        return ERROR_BAD_PATHNAME;
    }
    size_t nLimit = IsLongForm(pszPath) ? 32000 : 260;
    return wcslen(pszPath) < nLimit ? ERROR_OK : ERROR_FILENAME_EXCED_RANGE;
}

int MakeSubDir(const wchar_t* pszPath)
{
    const wchar_t* const ME = L"MakeSubDir";
    if (pszPath == nullptr || wcslen(pszPath) < 4)
        return ERROR_NON;
    VString buf(pszPath);
    if (buf.IsNull())
        return -891;
    wchar_t* psz = buf.GetBuffer();
    wchar_t* pLast = wcsrchr(psz, L'\\');
    if (pLast == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！_tcsrchr len=%u\u3000｛%s｝\u3000<%s>", ME,
                static_cast<unsigned>(wcslen(psz)), GpErrText(ERROR_BAD_PATHNAME), pszPath);
        return ERROR_BAD_PATHNAME;
    }
    pLast[1] = L'\0';
    if (IsFolder(psz))
        return ERROR_NON;
    int nRoot = RootEnd(psz);
    if (nRoot < 0 || nRoot >= static_cast<int>(wcslen(psz)))
        return ERROR_BAD_PATHNAME;
    for (wchar_t* p = wcschr(psz + nRoot + 1, L'\\'); p != nullptr; p = wcschr(p + 1, L'\\'))
    {
        *p = L'\0';
        if (!CreateDirectoryW(psz, nullptr))
        {
            DWORD dwErr = GetLastError();
            if (dwErr != ERROR_ALREADY_EXISTS && !IsFolder(psz))
            {
                GPTRACE(TRACE_ERROR, L"[%s] ！CreateDirectory\u3000｛%s｝\u3000len=%u <%s>", ME,
                        GpErrText(static_cast<int>(dwErr)), static_cast<unsigned>(wcslen(psz)), psz);
                SetLastError(dwErr);
                return static_cast<int>(dwErr);
            }
        }
        *p = L'\\';
    }
    return ERROR_OK;
}
} // namespace zippath
