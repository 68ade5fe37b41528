#include "common/GpTempFile.h"

#include <ntsecapi.h>
#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpFormat.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"

namespace
{
constexpr int NAME_ATTEMPTS = 8; // a clash of 64 random bits means someone planted the name
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

DWORD ErrOr(DWORD dwErr, DWORD dwDefault)
{
    return dwErr != 0 ? dwErr : dwDefault;
}

void SetAttributes(HANDLE h, DWORD dwAttr)
{
    FILE_BASIC_INFO info = {}; // zero times stay as they are
    info.FileAttributes = dwAttr != 0 ? dwAttr : FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof(info));
}

bool DeleteThroughHandle(HANDLE h)
{
    FILE_DISPOSITION_INFO info = {};
    info.DeleteFile = TRUE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof(info)) != FALSE;
}
} // namespace

int GpTempFile::Create(const wchar_t* pszTarget)
{
    Discard();
    m_target = pszTarget;
    DWORD dwErr = ERROR_FILE_EXISTS;
    for (int nAttempt = 0; nAttempt < NAME_ATTEMPTS; nAttempt++)
    {
        ULONGLONG ullRandom = 0;
        if (!RtlGenRandom(&ullRandom, sizeof(ullRandom)))
        {
            dwErr = ErrOr(GetLastError(), ERROR_GEN_FAILURE);
            break;
        }
        wchar_t szSuffix[32];
        GpFormatN(szSuffix, L".~%016I64X.tmp", ullRandom);
        m_path = pszTarget;
        m_path.Cat(szSuffix);
        // DELETE for the rename and the removal, the security rights to give it the target's.
        m_file.Reset(CreateFileW(m_path.c_str(),
                                 GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                                     FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr));
        if (m_file)
            return ERROR_OK;
        dwErr = GetLastError();
        if (dwErr != ERROR_FILE_EXISTS && dwErr != ERROR_ALREADY_EXISTS)
            break;
    }
    m_path.Clear();
    SetLastError(dwErr);
    return static_cast<int>(dwErr);
}

int GpTempFile::Write(const void* pData, DWORD cb)
{
    const BYTE* p = static_cast<const BYTE*>(pData);
    while (cb > 0)
    {
        DWORD cbDone = 0;
        if (!GpWriteFile(m_file.Get(), p, cb, &cbDone))
        {
            DWORD dwErr = ErrOr(GetLastError(), ERROR_WRITE_FAULT);
            SetLastError(dwErr);
            return static_cast<int>(dwErr);
        }
        if (cbDone == 0)
        {
            SetLastError(ERROR_DISK_FULL);
            return ERROR_DISK_FULL;
        }
        p += cbDone;
        cb -= cbDone;
    }
    return ERROR_OK;
}

void GpTempFile::TakeOverFrom(HANDLE hFrom)
{
    const SECURITY_INFORMATION si =
        DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    DWORD cbNeed = 0;
    GetKernelObjectSecurity(hFrom, si, nullptr, 0, &cbNeed);
    if (cbNeed != 0)
    {
        GpHeapBlock sd(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbNeed));
        // The whole descriptor as it is, protection of the access list included; taking the owner
        // over needs a privilege, the access list alone is what matters most.
        if (sd && GetKernelObjectSecurity(hFrom, si, sd.Get(), cbNeed, &cbNeed) &&
            !SetKernelObjectSecurity(m_file.Get(), si, sd.Get()))
            SetKernelObjectSecurity(m_file.Get(), DACL_SECURITY_INFORMATION, sd.Get());
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(hFrom, &info))
        SetAttributes(m_file.Get(), info.dwFileAttributes & KEPT_ATTRIBUTES);
}

int GpTempFile::Commit(int nAttempts, DWORD dwRetryMs)
{
    if (!FlushFileBuffers(m_file.Get()))
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_WRITE_FAULT);
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    size_t cchTarget = static_cast<size_t>(m_target.GetLength());
    size_t cbInfo = offsetof(FILE_RENAME_INFO, FileName) + (cchTarget + 1) * sizeof(wchar_t);
    GpHeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbInfo));
    if (!block)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    auto* pInfo = static_cast<FILE_RENAME_INFO*>(block.Get());
    pInfo->ReplaceIfExists = TRUE;
    pInfo->FileNameLength = static_cast<DWORD>(cchTarget * sizeof(wchar_t));
    wmemcpy(pInfo->FileName, m_target.c_str(), cchTarget + 1);
    DWORD dwErr = 0;
    for (int nAttempt = 1; nAttempt <= nAttempts; nAttempt++)
    {
        // The very file written is renamed: its name is never looked up again.
        if (SetFileInformationByHandle(m_file.Get(), FileRenameInfo, pInfo, static_cast<DWORD>(cbInfo)))
        {
            m_file.Reset();
            m_path.Clear();
            return ERROR_OK;
        }
        dwErr = ErrOr(GetLastError(), ERROR_ACCESS_DENIED);
        // A client holding the file open shows as either of these.
        if (dwErr != ERROR_SHARING_VIOLATION && dwErr != ERROR_ACCESS_DENIED)
            break;
        if (nAttempt < nAttempts)
            GpSleep(dwRetryMs);
    }
    SetLastError(dwErr);
    return static_cast<int>(dwErr);
}

void GpTempFile::Discard()
{
    if (m_file)
    {
        DWORD dwErr = GetLastError();
        SetAttributes(m_file.Get(), 0); // a read-only file could not be removed
        DeleteThroughHandle(m_file.Get());
        m_file.Reset();
        SetLastError(dwErr);
    }
    m_path.Clear();
}

namespace
{
// Whether a name after "<target>.~" (pszRest, up to ".tmp") is a leftover to remove: one of ours
// (16 hex digits; a file still in use cannot be opened below), or of the earlier naming, the
// writer's process id in hex and cchDigits decimal digits, whose process has ended. Any other
// name, and the earlier naming with our own or a running process id, is not ours to touch.
bool IsLeftoverName(const wchar_t* pszRest, int cchDigits)
{
    size_t cch = wcslen(pszRest);
    if (cch < 5 || _wcsicmp(pszRest + cch - 4, L".tmp") != 0)
        return false;
    cch -= 4;
    auto hex = [](wchar_t c) {
        return (c >= L'0' && c <= L'9') ? c - L'0' : (c >= L'A' && c <= L'F') ? c - L'A' + 10 : -1;
    };
    if (cch == 16)
    {
        for (size_t i = 0; i < cch; i++)
            if (hex(pszRest[i]) < 0)
                return false;
        return true;
    }
    if (cch <= static_cast<size_t>(cchDigits) || cch - cchDigits > 8)
        return false;
    for (size_t i = cch - cchDigits; i < cch; i++)
        if (pszRest[i] < L'0' || pszRest[i] > L'9')
            return false;
    DWORD dwPid = 0;
    for (size_t i = 0; i < cch - cchDigits; i++)
    {
        int nDigit = hex(pszRest[i]);
        if (nDigit < 0)
            return false;
        dwPid = dwPid * 16 + static_cast<DWORD>(nDigit);
    }
    if (dwPid == GetCurrentProcessId())
        return false;
    GpKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, dwPid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    return WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}
} // namespace

void GpRemoveTempLeftovers(const wchar_t* pszTarget, const wchar_t* pszName, int cchOldDigits)
{
    VString pattern(pszTarget);
    pattern.Cat(L".~*.tmp");
    const wchar_t* pSlash = wcsrchr(pszTarget, L'\\');
    size_t cchDir = pSlash != nullptr ? static_cast<size_t>(pSlash - pszTarget + 1) : 0;
    size_t cchName = wcslen(pszTarget) - cchDir;
    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW(pattern.c_str(), &fd));
    if (!find)
        return;
    do
    {
        if ((fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            _wcsnicmp(fd.cFileName, pszTarget + cchDir, cchName) != 0 ||
            wcsncmp(fd.cFileName + cchName, L".~", 2) != 0 ||
            !IsLeftoverName(fd.cFileName + cchName + 2, cchOldDigits))
            continue;
        VString stale(pszTarget);
        stale.GetBuffer()[cchDir] = L'\0';
        stale.Cat(fd.cFileName);
        // Without sharing: a file its writer still holds is not a leftover and cannot be opened.
        GpFile file(CreateFileW(stale.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        if (!file || !GetFileInformationByHandle(file.Get(), &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            info.nNumberOfLinks != 1)
            continue;
        if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            SetAttributes(file.Get(), info.dwFileAttributes & KEPT_ATTRIBUTES & ~FILE_ATTRIBUTE_READONLY);
        if (DeleteThroughHandle(file.Get()))
            GPTRACE(TRACE_WARNING, L"[%s] 中断された保存の一時ファイルを削除[%s]", pszName, stale.c_str());
    } while (FindNextFileW(find.Get(), &fd));
}
