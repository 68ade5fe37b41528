#include "zip/ZLibExpand.h"

#include <stdint.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"
#include "common/VString.h"
#include "zip/GpUnzFile.h"
#include "zip/ZLibExtraLocal.h"
#include "zip/ZLibFileFunc.h"
#include "zip/ZipEntryPath.h"

namespace
{
constexpr int NAME_CCH = 260;             // stored entry name, bytes
constexpr int WIDE_NAME_CCH = 4096;       // converted entry name
constexpr DWORD COPY_BLOCK = 16777216;    // 16 MiB per read and write
constexpr DWORD FOLDER_ATTR_MASK = 0x1A7; // read-only, hidden, system, archive, normal, temporary
constexpr int CREATE_ATTEMPTS = 10;
constexpr DWORD CREATE_RETRY_WAIT_MS = 1000;
constexpr ULONGLONG EPOCH_DIFF_SECONDS = 11644473600ULL; // 1601 to 1970

wchar_t s_szName[WIDE_NAME_CCH];

int CodeOr(DWORD dwErr, int nFallback)
{
    return dwErr != 0 ? static_cast<int>(dwErr) : nFallback;
}

// Copies the current entry's data into hFile in 16 MiB blocks.
int CopyData(unzFile uf, HANDLE hFile, ULONGLONG* pcbTotal)
{
    const wchar_t* const ME = L"ExpandFile";
    *pcbTotal = 0;
    GpHeapBlock buffer(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(COPY_BLOCK) + 8));
    GPTRACE(TRACE_TRACE, L"[%s] begin．\u3000bs=%d buff=0x%p.", ME, static_cast<int>(COPY_BLOCK),
            buffer.Get());
    if (!buffer)
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！HAlloc(%u)\u3000｛%s｝", ME, COPY_BLOCK,
                GpErrText(static_cast<int>(dwErr)));
        return CodeOr(dwErr, -573);
    }
    for (;;)
    {
        int nRead = unzReadCurrentFile(uf, buffer.Get(), COPY_BLOCK);
        if (nRead < 0)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！unzReadCurrentFile\u3000err=%d.", ME, nRead);
            return -602;
        }
        if (nRead == 0)
            return ERROR_OK;
        DWORD dwWritten = 0;
        if (!WriteFile(hFile, buffer.Get(), static_cast<DWORD>(nRead), &dwWritten, nullptr))
        {
            DWORD dwErr = GetLastError();
            GPTRACE(TRACE_ERROR, L"[%s] ！WriteFile\u3000｛%s｝", ME, GpErrText(static_cast<int>(dwErr)));
            return CodeOr(dwErr, -588);
        }
        if (dwWritten != static_cast<DWORD>(nRead))
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！WriteFile  r=%d, w=%d.\u3000｛%s｝", ME, nRead,
                    static_cast<int>(dwWritten), GpErrText(-1));
            return -595;
        }
        *pcbTotal += dwWritten;
    }
}

// The library checks the CRC only when the entry is closed; a short entry is seen by its size.
int CheckIntegrity(unzFile uf, const unz_file_info64& fi, ULONGLONG cbTotal, const wchar_t* pszPath)
{
    const wchar_t* const ME = L"ExpandFile";
    int nClose = unzCloseCurrentFile(uf);
    if (nClose == UNZ_CRCERROR)
    {
        GPTRACE(TRACE_ERROR,
                L"[%s] ！unzCloseCurrentFile\u3000err=%d.\u3000CRC不一致\u3000crc=%08X\u3000<%s>", ME, nClose,
                static_cast<unsigned>(fi.crc), pszPath);
        return ZEXP_ERR_CRC;
    }
    if (cbTotal != fi.uncompressed_size)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！データ不足\u3000size=%I64u read=%I64u\u3000<%s>", ME,
                fi.uncompressed_size, cbTotal, pszPath);
        return ZEXP_ERR_SIZE;
    }
    if (nClose != UNZ_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！unzCloseCurrentFile\u3000err=%d.\u3000<%s>", ME, nClose, pszPath);
        return -603;
    }
    return ERROR_OK;
}

int SetLastWriteTime(HANDLE hFile, const tm_unz& date, const wchar_t* pszPath)
{
    const wchar_t* const ME = L"ExpandFile";
    struct tm t = {};
    t.tm_year = static_cast<int>(date.tm_year) - 1900;
    t.tm_mon = static_cast<int>(date.tm_mon);
    t.tm_mday = static_cast<int>(date.tm_mday);
    t.tm_hour = static_cast<int>(date.tm_hour);
    t.tm_min = static_cast<int>(date.tm_min);
    t.tm_sec = static_cast<int>(date.tm_sec);
    t.tm_isdst = -1;
    time_t tt = mktime(&t);
    if (tt == static_cast<time_t>(-1))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！mktime\u3000tmu=%04d/%02d/%02d %02d:%02d:%02d\u3000path=<%s>", ME,
                static_cast<int>(date.tm_year), static_cast<int>(date.tm_mon), static_cast<int>(date.tm_mday),
                static_cast<int>(date.tm_hour), static_cast<int>(date.tm_min), static_cast<int>(date.tm_sec),
                pszPath);
        return -777;
    }
    ULARGE_INTEGER uli;
    uli.QuadPart = (static_cast<ULONGLONG>(tt) + EPOCH_DIFF_SECONDS) * 10000000ULL;
    FILETIME ft = {uli.LowPart, uli.HighPart};
    if (!SetFileTime(hFile, nullptr, nullptr, &ft))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！SetFileTime\u3000｛%s｝\u3000<%s>", ME,
                GpErrText(static_cast<int>(dwErr)), pszPath);
        return CodeOr(dwErr, -787);
    }
    return ERROR_OK;
}

void ApplyFolderAttributes(DWORD dwExternal, const wchar_t* pszPath)
{
    const wchar_t* const ME = L"ExpandFile";
    DWORD dwAttr = dwExternal & FOLDER_ATTR_MASK;
    if (dwAttr == 0)
        return;
    DWORD dwCur = GetFileAttributesW(pszPath);
    if (dwCur == INVALID_FILE_ATTRIBUTES)
        GPTRACE(TRACE_WARNING, L"[%s] ！GetFileAttributes\u3000<%s>\u3000｛%s｝", ME, pszPath, GpErrText(-1));
    if ((dwCur & FOLDER_ATTR_MASK) == dwAttr)
        return;
    if (SetFileAttributesW(pszPath, dwAttr))
        GPTRACE(TRACE_DEBUG, L"[%s] SetFileAttributes 0x%X\u3000<%s>", ME, dwAttr, pszPath);
    else
        GPTRACE(TRACE_WARNING, L"[%s] ！SetFileAttributes 0x%X\u3000<%s>\u3000｛%s｝", ME, dwAttr, pszPath,
                GpErrText(-1));
}
} // namespace

int ExpandFile(unzFile uf, const wchar_t* pszDest)
{
    const wchar_t* const ME = L"ExpandFile";
    unz_file_info64 fi = {};
    char szName[NAME_CCH + 1];
    int rc = unzGetCurrentFileInfo64(uf, &fi, szName, NAME_CCH, nullptr, 0, nullptr, 0);
    if (rc != UNZ_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！unzGetCurrentFileInfo64\u3000err=%d.", ME, rc);
        return -624;
    }
    // The library terminates the name only when it fits the buffer.
    bool bNameFits = ZipStoredNameFits(fi.size_filename);
    szName[bNameFits ? fi.size_filename : NAME_CCH] = '\0';

    rc = unzOpenCurrentFilePassword(uf, nullptr);
    if (rc != UNZ_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！unzOpenCurrentFilePassword\u3000err=%d.", ME, rc);
        return -642;
    }
    ZLibExtraLocal extra;
    rc = extra.LoadStream(uf);
    if (rc != ERROR_NON && rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] LoadStream err=%d.\u3000｛%s｝", ME, rc, GpErrText(rc));
        return rc;
    }

    const wchar_t* pszRel;
    if (!extra.RelPath.IsEmpty())
        pszRel = extra.RelPath.c_str();
    else
    {
        if (!bNameFits)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！ファイル名が長すぎます\u3000len=%u\u3000<%.200S…>", ME,
                    static_cast<unsigned>(fi.size_filename), szName);
            return ZEXP_ERR_NAME_TOO_LONG;
        }
        for (char* p = szName; *p != '\0'; p++)
        {
            if (*p == '/')
                *p = '\\';
        }
        if (MultiByteToWideChar(CP_ACP, 0, szName, -1, s_szName, WIDE_NAME_CCH) == 0)
            s_szName[0] = L'\0';
        pszRel = s_szName;
    }
    // The agent writes with system rights: an entry must never reach outside the destination
    // (an empty destination would root the entry's path at the current drive).
    if (pszDest == nullptr || pszDest[0] == L'\0' || !IsSafeEntryRelPath(pszRel))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！不正なパス\u3000展開先外への書き込みを拒否\u3000<%s>\u3000dest=<%s>",
                ME, pszRel, pszDest);
        return ZEXP_ERR_UNSAFE_PATH;
    }
    VString strPath = ZipEntryOutputPath(pszDest, pszRel);

    rc = MakeSubDir(strPath);
    if (rc != ERROR_NON && rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！MakeSubDir\u3000err=%d.\u3000｛%s｝\u3000<%s>", ME, rc, GpErrText(rc),
                strPath.c_str());
        return rc;
    }

    // Some zip tools mark folders by the trailing separator alone; no file can take such a name.
    int nPathLen = strPath.GetLength();
    if ((fi.external_fa & FILE_ATTRIBUTE_DIRECTORY) ||
        (nPathLen > 0 && strPath.c_str()[nPathLen - 1] == L'\\'))
    {
        ApplyFolderAttributes(static_cast<DWORD>(fi.external_fa), strPath);
        return ERROR_OK;
    }

    rc = CheckPathLimit(strPath);
    if (rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CheckPathLimit\u3000err=%d.\u3000｛%s｝\u3000len=%u <%s>", ME, rc,
                GpErrText(rc), static_cast<unsigned>(strPath.GetLength()), strPath.c_str());
        return rc;
    }

    // What the entry claims must fit the volume: an archive of a few kilobytes can claim
    // terabytes, and a disk filled by a process with system rights takes the machine down.
    ULARGE_INTEGER uliFree = {};
    if (GetDiskFreeSpaceExW(pszDest, &uliFree, nullptr, nullptr) && fi.uncompressed_size > uliFree.QuadPart)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！空き容量不足\u3000size=%I64u free=%I64u\u3000<%s>", ME,
                fi.uncompressed_size, uliFree.QuadPart, strPath.c_str());
        return ERROR_DISK_FULL;
    }

    // Only the low word holds attributes; archives made elsewhere keep their own host's mode bits
    // in the high word, which CreateFile would take for flags (delete-on-close, no-buffering, ...).
    DWORD dwAttr = static_cast<DWORD>(fi.external_fa) & 0xFFFF;
    GpFile file;
    DWORD dwErr = 0;
    for (int i = 0; i < CREATE_ATTEMPTS; i++)
    {
        file.Reset(CreateFileW(strPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               dwAttr, nullptr));
        if (file)
            break;
        dwErr = GetLastError();
        GPTRACE(TRACE_DEBUG, L"[%s] ！CreateFile retry#%d\u3000｛%s｝\u3000<%s>", ME, i,
                GpErrText(static_cast<int>(dwErr)), strPath.c_str());
        GpSleep(CREATE_RETRY_WAIT_MS);
    }
    if (!file)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CreateFile<%s, 0x%p>\u3000｛%s｝", ME, strPath.c_str(),
                reinterpret_cast<void*>(static_cast<uintptr_t>(dwAttr)), GpErrText(static_cast<int>(dwErr)));
        return CodeOr(dwErr, -753);
    }

    ULONGLONG cbTotal = 0;
    rc = CopyData(uf, file.Get(), &cbTotal);
    if (rc == ERROR_OK)
        rc = CheckIntegrity(uf, fi, cbTotal, strPath);
    if (rc != ERROR_OK)
    {
        // Cut or corrupted data must not stay behind under the entry's name.
        file.Reset();
        SetFileAttributesW(strPath, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(strPath);
        return rc;
    }
    return SetLastWriteTime(file.Get(), fi.tmu_date, strPath);
}

int Expand(unzFile uf, const wchar_t* pszDest)
{
    const wchar_t* const ME = L"Expand";
    unz_global_info64 gi = {};
    int rc = (uf != nullptr) ? unzGetGlobalInfo64(uf, &gi) : UNZ_PARAMERROR;
    if (rc != UNZ_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！unzGetGlobalInfo64()\u3000rc=%d.", ME, rc);
        return -813;
    }
    GPTRACE(TRACE_TRACE, L"[%s] gi.number_entry=%I64d.", ME, static_cast<long long>(gi.number_entry));
    // 0xFFFF in the count field means "more than fits": walk until the library reports the end.
    int nBound = gi.number_entry < 0xFFFF ? static_cast<int>(gi.number_entry) : 0x7FFFFFFF;
    for (int i = 0; i < nBound; i++)
    {
        rc = ExpandFile(uf, pszDest);
        if (rc != ERROR_OK)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！ExpandFile i=%d\u3000rc=%d.", ME, i, rc);
            return rc;
        }
        rc = unzGoToNextFile(uf);
        if (rc != UNZ_OK)
        {
            GPTRACE(TRACE_DEBUG, L"[%s] unzGoToNextFile(%d/%d)=%d.\u3000｛%s｝\u3000<%s>", ME, i + 1, nBound,
                    rc, GpErrText(-1), pszDest);
            break;
        }
    }
    return ERROR_OK;
}

int ZLibExpand(const wchar_t* pszArchive, const wchar_t* pszDest)
{
    const wchar_t* const ME = L"ZLibExpand";
    GPTRACE(TRACE_TRACE, L"[%s] begin．\u3000\u3000dest=<%s> cre=%d pass=<%s>", ME, pszDest, 0,
            static_cast<const wchar_t*>(nullptr));
    int rc = CheckPathLimit(pszArchive);
    if (rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CheckPathLimit\u3000err=%d.\u3000｛%s｝\u3000<%s>", ME, rc,
                GpErrText(rc), pszArchive);
        return rc;
    }
    if (GetFileAttributesW(pszArchive) == INVALID_FILE_ATTRIBUTES)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ZIP解凍エラーです\u3000｛%s｝\u3000<%s>", ME,
                GpErrText(ERROR_FILE_NOT_FOUND), pszArchive);
        return ERROR_FILE_NOT_FOUND;
    }
    rc = CheckPathLimit(pszDest);
    if (rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CheckPathLimit\u3000err=%d.\u3000｛%s｝\u3000<%s>", ME, rc,
                GpErrText(rc), pszDest);
        return rc;
    }
    VString strDest(pszDest);
    zlib_filefunc64_def ff;
    FillWin32FileFunc64W(&ff);
    GpUnzFile uf(unzOpen2_64(pszArchive, &ff));
    if (!uf)
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！unzOpen2_64\u3000｛%s｝\u3000<%s>", ME,
                GpErrText(static_cast<int>(dwErr)), pszArchive);
        return CodeOr(dwErr, -957);
    }
    rc = Expand(uf.Get(), strDest);
    uf.Reset();
    GPTRACE(TRACE_TRACE, L"[%s] \u3000end。\u3000\u3000ret=%d.", ME, rc);
    return rc;
}
