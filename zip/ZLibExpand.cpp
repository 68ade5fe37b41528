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
#include "zip/ZipCentralDir.h"
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
constexpr ULONGLONG CENTRAL_RECORD_BYTES = 46;           // fixed part of a directory record

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
// The entry's name as stored, terminated (the library terminates it only when it fits).
struct StoredEntry
{
    unz_file_info64 fi = {};
    char szName[NAME_CCH + 1] = {};
    bool bNameFits = false;
};

int ReadEntryInfo(unzFile uf, StoredEntry& e)
{
    const wchar_t* const ME = L"ExpandFile";
    int rc = unzGetCurrentFileInfo64(uf, &e.fi, e.szName, NAME_CCH, nullptr, 0, nullptr, 0);
    if (rc != UNZ_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！unzGetCurrentFileInfo64\u3000err=%d.", ME, rc);
        return -624;
    }
    e.bNameFits = ZipStoredNameFits(e.fi.size_filename);
    e.szName[e.bNameFits ? e.fi.size_filename : NAME_CCH] = '\0';
    return ERROR_OK;
}

// Opens the entry's data and takes its path record, if it has one.
int OpenEntry(unzFile uf, ZLibExtraLocal& extra)
{
    const wchar_t* const ME = L"ExpandFile";
    int rc = unzOpenCurrentFilePassword(uf, nullptr);
    if (rc != UNZ_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！unzOpenCurrentFilePassword\u3000err=%d.", ME, rc);
        return -642;
    }
    rc = extra.LoadStream(uf);
    if (rc != ERROR_NON && rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] LoadStream err=%d.\u3000｛%s｝", ME, rc, GpErrText(rc));
        return rc;
    }
    return ERROR_OK;
}

// The output path: the destination and the record's path, or else the stored name.
int BuildOutputPath(StoredEntry& e, const ZLibExtraLocal& extra, const wchar_t* pszDest, VString& strPath)
{
    const wchar_t* const ME = L"ExpandFile";
    VString strName;
    const wchar_t* pszRel;
    if (!extra.RelPath.IsEmpty())
        pszRel = extra.RelPath.c_str();
    else
    {
        if (!e.bNameFits)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！ファイル名が長すぎます\u3000len=%u\u3000<%.200S…>", ME,
                    static_cast<unsigned>(e.fi.size_filename), e.szName);
            return ZEXP_ERR_NAME_TOO_LONG;
        }
        for (char* p = e.szName; *p != '\0'; p++)
        {
            if (*p == '/')
                *p = '\\';
        }
        if (!strName.Alloc(WIDE_NAME_CCH, false))
            return CodeOr(GetLastError(), -573);
        if (MultiByteToWideChar(CP_ACP, 0, e.szName, -1, strName.GetBuffer(), WIDE_NAME_CCH) == 0)
            strName.GetBuffer()[0] = L'\0';
        pszRel = strName.c_str();
    }
    // The agent writes with system rights: an entry must never reach outside the destination
    // (an empty destination would root the entry's path at the current drive).
    if (pszDest == nullptr || pszDest[0] == L'\0' || !IsSafeEntryRelPath(pszRel))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！不正なパス\u3000展開先外への書き込みを拒否\u3000<%s>\u3000dest=<%s>",
                ME, pszRel, pszDest);
        return ZEXP_ERR_UNSAFE_PATH;
    }
    strPath = ZipEntryOutputPath(pszDest, pszRel);
    return ERROR_OK;
}

// Checks a file entry's path and claimed size before anything is created for it.
int CheckFileTarget(const unz_file_info64& fi, const wchar_t* pszDest, const VString& strPath)
{
    const wchar_t* const ME = L"ExpandFile";
    int rc = CheckPathLimit(strPath);
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
    return ERROR_OK;
}

// A new file only, tried ten times a second apart (a scanner may hold the name for a moment).
int CreateOutputFile(const VString& strPath, DWORD dwAttr, GpFile& file)
{
    const wchar_t* const ME = L"ExpandFile";
    DWORD dwErr = 0;
    for (int i = 0; i < CREATE_ATTEMPTS; i++)
    {
        file.Reset(CreateFileW(strPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               dwAttr, nullptr));
        if (file)
            return ERROR_OK;
        dwErr = GetLastError();
        GPTRACE(TRACE_DEBUG, L"[%s] ！CreateFile retry#%d\u3000｛%s｝\u3000<%s>", ME, i,
                GpErrText(static_cast<int>(dwErr)), strPath.c_str());
        GpSleep(CREATE_RETRY_WAIT_MS);
    }
    GPTRACE(TRACE_ERROR, L"[%s] ！CreateFile<%s, 0x%p>\u3000｛%s｝", ME, strPath.c_str(),
            reinterpret_cast<void*>(static_cast<uintptr_t>(dwAttr)), GpErrText(static_cast<int>(dwErr)));
    return CodeOr(dwErr, -753);
}

// Data, then their check against the entry; cut or corrupted data must not stay behind under the
// entry's name.
int WriteEntryData(unzFile uf, const unz_file_info64& fi, GpFile& file, const VString& strPath)
{
    ULONGLONG cbTotal = 0;
    int rc = CopyData(uf, file.Get(), &cbTotal);
    if (rc == ERROR_OK)
        rc = CheckIntegrity(uf, fi, cbTotal, strPath);
    if (rc != ERROR_OK)
    {
        file.Reset();
        SetFileAttributesW(strPath, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(strPath);
    }
    return rc;
}

// The walk's position against the directory the end record states: where the current record ends,
// or 0 when it does not lie wholly inside the directory.
ULONGLONG RecordEnd(unzFile uf, const ZipCentralDir& dir)
{
    unz_file_info64 fi = {};
    if (unzGetCurrentFileInfo64(uf, &fi, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return 0;
    ULONGLONG ullStart = unzGetOffset64(uf);
    ULONGLONG ullEnd =
        ullStart + CENTRAL_RECORD_BYTES + fi.size_filename + fi.size_file_extra + fi.size_file_comment;
    if (ullStart < dir.ullOffset || ullEnd > dir.End())
        return 0;
    return ullEnd;
}
} // namespace

int ExpandFile(unzFile uf, const wchar_t* pszDest)
{
    StoredEntry e;
    int rc = ReadEntryInfo(uf, e);
    if (rc != ERROR_OK)
        return rc;
    ZLibExtraLocal extra;
    rc = OpenEntry(uf, extra);
    if (rc != ERROR_OK)
        return rc;
    VString strPath;
    rc = BuildOutputPath(e, extra, pszDest, strPath);
    if (rc != ERROR_OK)
        return rc;

    rc = MakeSubDir(strPath);
    if (rc != ERROR_NON && rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！MakeSubDir\u3000err=%d.\u3000｛%s｝\u3000<%s>", L"ExpandFile", rc,
                GpErrText(rc), strPath.c_str());
        return rc;
    }

    // Some zip tools mark folders by the trailing separator alone; no file can take such a name.
    int nPathLen = strPath.GetLength();
    if ((e.fi.external_fa & FILE_ATTRIBUTE_DIRECTORY) ||
        (nPathLen > 0 && strPath.c_str()[nPathLen - 1] == L'\\'))
    {
        ApplyFolderAttributes(static_cast<DWORD>(e.fi.external_fa), strPath);
        return ERROR_OK;
    }

    rc = CheckFileTarget(e.fi, pszDest, strPath);
    if (rc != ERROR_OK)
        return rc;
    // Only the low word holds attributes; archives made elsewhere keep their own host's mode bits
    // in the high word, which CreateFile would take for flags (delete-on-close, no-buffering, ...).
    GpFile file;
    rc = CreateOutputFile(strPath, static_cast<DWORD>(e.fi.external_fa) & 0xFFFF, file);
    if (rc != ERROR_OK)
        return rc;
    rc = WriteEntryData(uf, e.fi, file, strPath);
    if (rc != ERROR_OK)
        return rc;
    return SetLastWriteTime(file.Get(), e.fi.tmu_date, strPath);
}

int Expand(unzFile uf, const wchar_t* pszDest, const ZipCentralDir* pDir)
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
    bool bWalkToEnd = gi.number_entry >= 0xFFFF;
    int nBound = bWalkToEnd ? 0x7FFFFFFF : static_cast<int>(gi.number_entry);
    // A count of 0 over a directory that holds records would pass with nothing expanded.
    if (nBound == 0 && pDir != nullptr && pDir->ullSize != 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！中央ディレクトリ破損\u3000i=%d\u3000pos=%I64u dir=%I64u-%I64u", ME, 0,
                unzGetOffset64(uf), pDir->ullOffset, pDir->End());
        return ZEXP_ERR_DIRECTORY;
    }
    for (int i = 0; i < nBound; i++)
    {
        // A record that runs past the directory is read from what follows it: never expanded.
        ULONGLONG ullNext = pDir != nullptr ? RecordEnd(uf, *pDir) : 0;
        if (pDir != nullptr && ullNext == 0)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！中央ディレクトリ破損\u3000i=%d\u3000pos=%I64u dir=%I64u-%I64u", ME,
                    i, unzGetOffset64(uf), pDir->ullOffset, pDir->End());
            return ZEXP_ERR_DIRECTORY;
        }
        rc = ExpandFile(uf, pszDest);
        if (rc != ERROR_OK)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！ExpandFile i=%d\u3000rc=%d.", ME, i, rc);
            return rc;
        }
        rc = unzGoToNextFile(uf);
        if (rc != UNZ_OK)
        {
            // The list ends where the directory ends: after the counted records, or, with the
            // 0xFFFF count, at the first "record" the end record's bytes do not make.
            bool bAtEnd = pDir != nullptr ? ullNext == pDir->End() : !bWalkToEnd;
            if (!(rc == UNZ_END_OF_LIST_OF_FILE || bWalkToEnd) || !bAtEnd)
            {
                GPTRACE(TRACE_ERROR,
                        L"[%s] ！unzGoToNextFile(%d/%d)=%d.\u3000中央ディレクトリ途中で終了\u3000pos=%I64u "
                        L"dir=%I64u-%I64u\u3000<%s>",
                        ME, i + 1, nBound, rc, ullNext, pDir != nullptr ? pDir->ullOffset : 0ULL,
                        pDir != nullptr ? pDir->End() : 0ULL, pszDest);
                return ZEXP_ERR_DIRECTORY;
            }
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
    ZipCentralDir dir;
    rc = ReadZipCentralDir(pszArchive, dir);
    if (rc == ERROR_OK)
        rc = Expand(uf.Get(), strDest, &dir);
    uf.Reset();
    GPTRACE(TRACE_TRACE, L"[%s] \u3000end。\u3000\u3000ret=%d.", ME, rc);
    return rc;
}
