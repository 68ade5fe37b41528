#include "zip/ZLibFileFunc.h"

#include <new>
#include <utility>

#include "common/GpErrorText.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"

namespace
{
constexpr int OPEN_ATTEMPTS = 10;
constexpr DWORD OPEN_RETRY_WAIT_MS = 1000;

// The retry trace renders into a buffer of its own, leaving the per-thread one to callers.
wchar_t s_szOpenErrText[GP_ERRTEXT_CCH];

ZLibFileStream* AsStream(voidpf stream)
{
    return static_cast<ZLibFileStream*>(stream);
}

void StoreError(ZLibFileStream* pStream, DWORD dwErr)
{
    pStream->nError = (dwErr == ERROR_HANDLE_EOF) ? 0 : static_cast<int>(dwErr);
}
} // namespace

voidpf ZCALLBACK win32_open64_file_funcW(voidpf /*opaque*/, const void* filename, int mode)
{
    DWORD dwAccess = 0;
    DWORD dwDisposition = 0;
    DWORD dwShare = 0;
    DWORD dwFlags = 0;
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ)
    {
        dwAccess = GENERIC_READ;
        dwDisposition = OPEN_EXISTING;
        dwShare = FILE_SHARE_READ;
    }
    else if (mode & ZLIB_FILEFUNC_MODE_EXISTING)
    {
        dwAccess = GENERIC_READ | GENERIC_WRITE;
        dwDisposition = OPEN_EXISTING;
    }
    else if (mode & ZLIB_FILEFUNC_MODE_CREATE)
    {
        dwAccess = GENERIC_READ | GENERIC_WRITE;
        dwDisposition = CREATE_ALWAYS;
        // The agent only reads through these; a writer that creates replaces a link at the name as
        // itself instead of writing through it.
        dwFlags = FILE_FLAG_OPEN_REPARSE_POINT;
    }
    const wchar_t* pszName = static_cast<const wchar_t*>(filename);
    if (dwAccess == 0 || pszName == nullptr)
        return nullptr;

    // A virus scanner or the copy that just produced the archive may hold it for a moment.
    GpFile file;
    DWORD dwLastErr = 0;
    for (int i = 0; i < OPEN_ATTEMPTS; i++)
    {
        file.Reset(CreateFileW(pszName, dwAccess, dwShare, nullptr, dwDisposition, dwFlags, nullptr));
        if (file)
            break;
        dwLastErr = GetLastError();
        GpErrorText(s_szOpenErrText, static_cast<int>(dwLastErr));
        GPTRACE(TRACE_DEBUG, L"[%s] ！CreateFileW retry#%d\u3000｛%s｝\u3000<%s>", L"win32_open64_file_funcW",
                i, s_szOpenErrText, pszName);
        GpSleep(OPEN_RETRY_WAIT_MS);
    }
    SetLastError(dwLastErr);
    if (!file)
        return nullptr;

    ZLibFileStream* pStream = new (std::nothrow) ZLibFileStream;
    if (pStream == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY); // the file is closed on the way out
        return nullptr;
    }
    pStream->file = std::move(file);
    return pStream;
}

uLong ZCALLBACK win32_read_file_funcW(voidpf /*opaque*/, voidpf stream, void* buf, uLong size)
{
    ZLibFileStream* pStream = AsStream(stream);
    if (pStream == nullptr || !pStream->file)
        return 0;
    DWORD dwRead = 0;
    if (!ReadFile(pStream->file.Get(), buf, size, &dwRead, nullptr))
        StoreError(pStream, GetLastError());
    return dwRead;
}

uLong ZCALLBACK win32_write_file_funcW(voidpf /*opaque*/, voidpf stream, const void* buf, uLong size)
{
    ZLibFileStream* pStream = AsStream(stream);
    if (pStream == nullptr || !pStream->file)
        return 0;
    DWORD dwWritten = 0;
    if (!WriteFile(pStream->file.Get(), buf, size, &dwWritten, nullptr))
        StoreError(pStream, GetLastError());
    return dwWritten;
}

ZPOS64_T ZCALLBACK win32_tell64_file_funcW(voidpf /*opaque*/, voidpf stream)
{
    ZLibFileStream* pStream = AsStream(stream);
    if (pStream == nullptr || !pStream->file)
        return static_cast<ZPOS64_T>(-1);
    LARGE_INTEGER liZero = {};
    LARGE_INTEGER liPos = {};
    if (!SetFilePointerEx(pStream->file.Get(), liZero, &liPos, FILE_CURRENT))
    {
        pStream->nError = static_cast<int>(GetLastError());
        return static_cast<ZPOS64_T>(-1);
    }
    return static_cast<ZPOS64_T>(liPos.QuadPart);
}

long ZCALLBACK win32_seek64_file_funcW(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin)
{
    ZLibFileStream* pStream = AsStream(stream);
    DWORD dwMethod;
    switch (origin)
    {
    case ZLIB_FILEFUNC_SEEK_SET:
        dwMethod = FILE_BEGIN;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        dwMethod = FILE_CURRENT;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        dwMethod = FILE_END;
        break;
    default:
        return -1;
    }
    if (pStream == nullptr || !pStream->file)
        return -1;
    LARGE_INTEGER liDistance;
    liDistance.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(pStream->file.Get(), liDistance, nullptr, dwMethod))
    {
        pStream->nError = static_cast<int>(GetLastError());
        return -1;
    }
    return 0;
}

int ZCALLBACK win32_close_file_funcW(voidpf /*opaque*/, voidpf stream)
{
    ZLibFileStream* pStream = AsStream(stream);
    if (pStream == nullptr)
        return -1;
    int nRet = pStream->file ? 0 : -1;
    delete pStream;
    return nRet;
}

int ZCALLBACK win32_error_file_funcW(voidpf /*opaque*/, voidpf stream)
{
    ZLibFileStream* pStream = AsStream(stream);
    return pStream ? pStream->nError : -1;
}

void FillWin32FileFunc64W(zlib_filefunc64_def* pDef)
{
    pDef->zopen64_file = win32_open64_file_funcW;
    pDef->zread_file = win32_read_file_funcW;
    pDef->zwrite_file = win32_write_file_funcW;
    pDef->ztell64_file = win32_tell64_file_funcW;
    pDef->zseek64_file = win32_seek64_file_funcW;
    pDef->zclose_file = win32_close_file_funcW;
    pDef->zerror_file = win32_error_file_funcW;
    pDef->opaque = nullptr;
}
