#include "common/GpPath.h"

#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"

namespace
{
constexpr size_t LONG_LIMIT = 32000;
constexpr size_t SHORT_LIMIT = 260;

bool IsLongForm(const wchar_t* psz)
{
    return wcslen(psz) >= 4 && _wcsnicmp(psz, L"\\\\?\\", 4) == 0;
}

bool IsFolder(const wchar_t* psz)
{
    DWORD dw = GetFileAttributesW(psz);
    return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Whether the folder whose name ends right before buf[pos] (a backslash) exists.
bool FolderEndingAtExists(wchar_t* buf, size_t pos)
{
    wchar_t c = buf[pos + 1];
    buf[pos + 1] = L'\0';
    bool b = IsFolder(buf);
    buf[pos + 1] = c;
    return b;
}

// Root end of a network path whose computer name starts at buf[start]: the backslash after the
// share name. 0 when the path holds no share (already traced).
size_t NetworkRootEnd(wchar_t* buf, size_t start, const wchar_t* pszOrg)
{
    static const wchar_t* const FN = L"MakeSubDir";
    wchar_t* pPc = buf + start;
    wchar_t* pPcEnd = wcschr(pPc, L'\\');
    if (pPcEnd == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！NW-ＰＣ名=<%s> org=<%s>.", FN, pPc, pszOrg);
        return 0;
    }
    *pPcEnd = L'\0';
    GPTRACE(TRACE_DEBUG, L"[%s] NW-ＰＣ名=<%s> next=<%s>.", FN, pPc, pPcEnd + 1);
    *pPcEnd = L'\\';
    wchar_t* pShare = pPcEnd + 1;
    wchar_t* pShareEnd = wcschr(pShare, L'\\');
    if (pShareEnd == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！NW-共有名=<%s> org=<%s>.", FN, pShare, pszOrg);
        return 0;
    }
    *pShareEnd = L'\0';
    GPTRACE(TRACE_DEBUG, L"[%s] NW-共有名=<%s> next=<%s>.", FN, pShare, pShareEnd + 1);
    *pShareEnd = L'\\';
    GPTRACE(TRACE_TRACE, L"[%s] NW除去=<%s> org=<%s>.", FN, pShareEnd + 1, pszOrg);
    return static_cast<size_t>(pShareEnd - buf);
}

// Root end of the folder part in buf, the backslash at or before which nothing is ever created:
// drive roots, "\\?\C:\", shares. 0 for a network path without a share (already traced).
size_t FolderRootEnd(wchar_t* buf, const wchar_t* pszOrg)
{
    static const wchar_t* const FN = L"MakeSubDir";
    if (wcsncmp(buf, L"\\\\?\\", 4) == 0)
    {
        if (_wcsnicmp(buf + 4, L"UNC\\", 4) == 0)
        {
            GPTRACE(TRACE_TRACE, L"[%s] UNC除去=<%s> org=<%s>.", FN, buf + 8, pszOrg);
            return NetworkRootEnd(buf, 8, pszOrg);
        }
        GPTRACE(TRACE_TRACE, L"[%s] WideExt除去=<%s> org=<%s>.", FN, buf + 4, pszOrg);
        return 6;
    }
    if (buf[0] == L'\\' && buf[1] == L'\\')
        return NetworkRootEnd(buf, 2, pszOrg);
    return 2;
}

// Walks back from the folder part's last backslash (nLast) to the deepest folder that exists:
// nMark becomes the backslash after it, from which folders are to be made. False (traced) when
// the folder part does not reach past its root.
bool FindFirstMissing(wchar_t* buf, size_t nRoot, size_t nLast, size_t& nMark)
{
    static const wchar_t* const FN = L"MakeSubDir";
    nMark = nLast;
    // A folder part shorter than its own root ("\\?\" alone) has nothing that could be made.
    bool bBad = nMark < nRoot;
    while (!bBad && nMark > nRoot)
    {
        size_t nPrev = nMark;
        while (nPrev > nRoot && buf[nPrev - 1] != L'\\')
            nPrev--;
        if (nPrev <= nRoot && buf[nRoot] != L'\\')
        {
            bBad = true;
            break;
        }
        nPrev--; // the backslash found
        if (nPrev == nRoot)
            break;
        if (FolderEndingAtExists(buf, nPrev))
            break;
        nMark = nPrev;
    }
    if (!bBad)
        return true;
    GPTRACE(TRACE_ERROR, L"[%s] 不正パス\u3000pos1=<%s> pos9=<%s> pos9-1=%d.", FN, buf + nMark, buf + nLast,
            static_cast<int>(nLast) - static_cast<int>(nMark));
    GPTRACE(TRACE_WARNING, L"[%s] ret=%d. pos1=<%s> pos0=<%s>.\u3000｛%s｝", FN, ERROR_BAD_PATHNAME,
            buf + nMark, buf + (nRoot <= nLast ? nRoot : nLast), GpErrText(ERROR_BAD_PATHNAME));
    return false;
}

// A folder that could not be made at buf (cut at nPos): ERROR_OK when it is there all the same,
// otherwise the result for MakeSubDir to answer.
int CreateFailed(wchar_t* buf, size_t nPos, DWORD dwErr, const wchar_t* pszOrg)
{
    static const wchar_t* const FN = L"MakeSubDir";
    GPTRACE(TRACE_DEBUG, L"[%s] ！CreateDirectory\u3000｛%s｝\u3000len=%u <%s>", FN,
            GpErrText(static_cast<int>(dwErr)), static_cast<unsigned>(nPos), buf);
    if (dwErr == ERROR_ALREADY_EXISTS)
    {
        // Another process made it at the same time: as good as made here.
        GPTRACE(TRACE_TRACE, L"\u3000\u3000他プロセスが作成？\u3000 pos1=0x%p <%s>", buf + nPos,
                pszOrg + nPos);
        return ERROR_OK;
    }
    if (dwErr == ERROR_PATH_NOT_FOUND)
    {
        // A parent that cannot be made here (a missing drive or share): the folder does not
        // exist, so this is a failure, reported as the length error when that is the cause.
        int rc = CheckPathLimit(buf);
        GPTRACE(TRACE_TRACE, L"[%s] CheckPathLimit\u3000｛%s｝\u3000len=%u <%s>", FN, GpErrText(rc),
                static_cast<unsigned>(nPos), buf);
        int nResult = (rc == ERROR_OK) ? ERROR_PATH_NOT_FOUND : rc;
        SetLastError(static_cast<DWORD>(nResult));
        return nResult;
    }
    if (IsFolder(buf))
        return ERROR_OK;
    GPTRACE(TRACE_ERROR, L"[%s] ！CreateDirectory\u3000｛%s｝\u3000len=%u <%s>", FN,
            GpErrText(static_cast<int>(dwErr)), static_cast<unsigned>(nPos), buf);
    SetLastError(dwErr);
    return static_cast<int>(dwErr);
}

// Makes the folders of buf one after the other, from the backslash at nPos to the end.
int CreateFoldersFrom(wchar_t* buf, size_t nPos, const wchar_t* pszOrg)
{
    while (buf[nPos] != L'\0')
    {
        buf[nPos] = L'\0';
        GPTRACE(TRACE_DEBUG, L"CreateDirectory call. \u3000len=%u <%s>.", static_cast<unsigned>(nPos), buf);
        if (!CreateDirectoryW(buf, nullptr))
        {
            int rc = CreateFailed(buf, nPos, GetLastError(), pszOrg);
            if (rc != ERROR_OK)
            {
                buf[nPos] = L'\\';
                return rc;
            }
        }
        buf[nPos] = L'\\';
        const wchar_t* pNext = wcschr(buf + nPos + 1, L'\\');
        nPos = pNext ? static_cast<size_t>(pNext - buf) : nPos + 1 + wcslen(buf + nPos + 1);
    }
    return ERROR_OK;
}
} // namespace

int CheckPathLimit(const wchar_t* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == L'\0')
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！ISVALID_PSTR\u3000｛%s｝\u3000parh=<%s>", L"CheckPathLimit",
                GpErrText(ERROR_BAD_PATHNAME), pszPath ? pszPath : L"(null)");
        SetLastError(ERROR_BAD_PATHNAME);
        return ERROR_BAD_PATHNAME;
    }
    size_t nLimit = IsLongForm(pszPath) ? LONG_LIMIT : SHORT_LIMIT;
    return wcsnlen(pszPath, nLimit) < nLimit ? ERROR_OK : ERROR_FILENAME_EXCED_RANGE;
}

bool GetFileSize64(const wchar_t* pszPath, ULONGLONG& ullSize)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (pszPath == nullptr || !GetFileAttributesExW(pszPath, GetFileExInfoStandard, &fad))
    {
        DWORD dwErr = pszPath ? GetLastError() : ERROR_INVALID_PARAMETER;
        GPTRACE(TRACE_ERROR, L"[%s] ！GetAttr<%s>\u3000｛%s｝", L"GetFileSize64",
                pszPath ? pszPath : L"(null)", GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return false;
    }
    ullSize = (static_cast<ULONGLONG>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
    return true;
}

LONGLONG Seek64(HANDLE hFile, LONGLONG llDistance, DWORD dwOrigin)
{
    LARGE_INTEGER liDistance;
    LARGE_INTEGER liPos;
    liDistance.QuadPart = llDistance;
    if (!SetFilePointerEx(hFile, liDistance, &liPos, dwOrigin))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！SetFilePointerEx\u3000｛%s｝", L"Seek64",
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return -1;
    }
    return liPos.QuadPart;
}

int MakeSubDir(const wchar_t* pszPath)
{
    static const wchar_t* const FN = L"MakeSubDir";
    size_t nLen = pszPath ? wcslen(pszPath) : 0;
    if (nLen < 4)
        return ERROR_NON;

    GpHeapBlock block(HeapAlloc(GetProcessHeap(), 0, (nLen + 1) * sizeof(wchar_t) + 8));
    if (!block)
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！TAlloc(%u)\u3000｛%s｝\u3000<%s>", FN, static_cast<unsigned>(nLen + 1),
                GpErrText(static_cast<int>(dwErr)), pszPath);
        SetLastError(dwErr);
        return dwErr != 0 ? static_cast<int>(dwErr) : -891;
    }
    wchar_t* buf = static_cast<wchar_t*>(block.Get());
    if (wcscpy_s(buf, nLen + 1, pszPath) != 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！_tcscpy_s len=%u\u3000｛%s｝\u3000<%s>", FN,
                static_cast<unsigned>(nLen), GpCrtErrorText(-1), pszPath);
        return -898;
    }

    // What follows the last backslash is a file name.
    wchar_t* pLast = wcsrchr(buf, L'\\');
    if (pLast == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！_tcsrchr len=%u\u3000｛%s｝\u3000<%s>", FN, static_cast<unsigned>(nLen),
                GpErrText(ERROR_BAD_PATHNAME), pszPath);
        return ERROR_BAD_PATHNAME;
    }
    pLast[1] = L'\0';
    if (IsFolder(buf))
        return ERROR_NON;

    size_t nRoot = FolderRootEnd(buf, pszPath);
    if (nRoot == 0)
        return ERROR_BAD_PATHNAME;
    size_t nMark;
    if (!FindFirstMissing(buf, nRoot, static_cast<size_t>(pLast - buf), nMark))
        return ERROR_BAD_PATHNAME;
    return CreateFoldersFrom(buf, nMark, pszPath);
}

void CopyFileSecurity(const wchar_t* pszFrom, const wchar_t* pszTo)
{
    const SECURITY_INFORMATION si =
        DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    DWORD cbNeed = 0;
    GetFileSecurityW(pszFrom, si, nullptr, 0, &cbNeed);
    if (cbNeed == 0)
        return;
    GpHeapBlock sd(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbNeed));
    if (!sd || !GetFileSecurityW(pszFrom, si, sd.Get(), cbNeed, &cbNeed))
        return;
    // Taking the owner over needs a privilege; the access list alone is what matters most.
    if (!SetFileSecurityW(pszTo, si, sd.Get()))
        SetFileSecurityW(pszTo, DACL_SECURITY_INFORMATION, sd.Get());
}
