// The end of the agent road: run the patch's installer, record the outcome for the client,
// and offer the restart the installation needs.
#include <shlobj.h>
#include <stdlib.h>
#include <time.h>
#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpFormat.h"
#include "common/GpHandles.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"
#include "app/LumoAgentApp.h"

namespace
{
constexpr DWORD STATUS_FAILED_FROM = 100;
// A scanner or the client's reader may hold the status file for a moment: the copy and the writes
// wait for it as the other file opens do (10 attempts, 1 s apart, for the whole record).
constexpr int STATUS_OPEN_ATTEMPTS = 10;
constexpr DWORD STATUS_RETRY_MS = 1000;
// The rename of the finished copy over the file waits a little for a reader.
constexpr int REPLACE_ATTEMPTS = 10;
constexpr DWORD REPLACE_RETRY_MS = 100;

struct StatusRecord
{
    const wchar_t* pszSection;
    const wchar_t* pszVersion;
    const wchar_t* pszTime;
    const wchar_t* pszInfo;
    bool bSuccess;
};

// The keys of one record, in their order. A key that cannot be written for a sharing violation is
// tried again; any other failure is traced and the next key follows.
void WriteStatusRecord(const StatusRecord& r, const wchar_t* pszFile)
{
    static const wchar_t* const FN = L"LumoAgentApp::WriteUpdateStatus";
    int nAttemptsLeft = STATUS_OPEN_ATTEMPTS - 1;
    auto write = [&](const wchar_t* pszKey, const wchar_t* pszValue) {
        while (!WritePrivateProfileStringW(r.pszSection, pszKey, pszValue, pszFile))
        {
            DWORD dwErr = GetLastError();
            if (dwErr != ERROR_SHARING_VIOLATION || nAttemptsLeft <= 0)
            {
                GPTRACE(TRACE_ERROR, L"[%s] ！WritePrivateProfileString(%s)\u3000｛%s｝\u3000<%s>", FN,
                        pszKey, GpErrText(static_cast<int>(dwErr)), pszFile);
                return;
            }
            nAttemptsLeft--;
            GpSleep(STATUS_RETRY_MS);
        }
    };
    if (r.bSuccess)
    {
        write(L"CurrentVersion", r.pszVersion);
        write(L"CurrentEntryDate", r.pszTime);
        write(L"UpdateStatus", L"3");
        write(L"SupportInfo", L"");
    }
    else
    {
        write(L"UpdateType", L"0");
        write(L"UpdateStatus", L"103");
        write(L"SupportInfo", r.pszInfo);
    }
}

// The copy the record goes into; true also when there is no file yet (the record makes the copy).
bool CopyStatusFile(const wchar_t* pszIni, const wchar_t* pszTemp)
{
    for (int nAttempt = 1;; nAttempt++)
    {
        if (CopyFileW(pszIni, pszTemp, FALSE))
        {
            CopyFileSecurity(pszIni, pszTemp); // the client keeps the access it had to the file
            return true;
        }
        DWORD dwErr = GetLastError();
        if (dwErr == ERROR_FILE_NOT_FOUND)
            return true;
        if (dwErr != ERROR_SHARING_VIOLATION || nAttempt >= STATUS_OPEN_ATTEMPTS)
            return false;
        GpSleep(STATUS_RETRY_MS);
    }
}

// Copies left by a stopped agent; only one agent runs at a time, so none of them is in use.
void RemoveStatusTemps(const wchar_t* pszIni)
{
    wchar_t szPattern[261 + 16];
    GpFormatN(szPattern, L"%s.~*.tmp", pszIni);
    const wchar_t* pSlash = wcsrchr(pszIni, L'\\');
    size_t cchDir = pSlash != nullptr ? static_cast<size_t>(pSlash - pszIni + 1) : 0;
    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW(szPattern, &fd));
    if (!find)
        return;
    do
    {
        wchar_t szStale[261 + 16];
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            cchDir + wcslen(fd.cFileName) >= _countof(szStale))
            continue;
        wmemcpy(szStale, pszIni, cchDir);
        wcscpy(szStale + cchDir, fd.cFileName);
        DeleteFileW(szStale);
    } while (FindNextFileW(find.Get(), &fd));
}

// The copy goes to the disk first, then takes the file's place with one rename.
bool ReplaceStatusFile(const wchar_t* pszTemp, const wchar_t* pszIni)
{
    {
        GpFile copy(
            CreateFileW(pszTemp, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (copy)
            FlushFileBuffers(copy.Get());
    }
    // A client reading the file at that moment holds the rename off: it is tried again.
    for (int nAttempt = 1;; nAttempt++)
    {
        if (MoveFileExW(pszTemp, pszIni, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        DWORD dwErr = GetLastError();
        if ((dwErr != ERROR_SHARING_VIOLATION && dwErr != ERROR_ACCESS_DENIED) ||
            nAttempt == REPLACE_ATTEMPTS)
            return false;
        GpSleep(REPLACE_RETRY_MS);
    }
}
} // namespace

BOOL LumoAgentApp::StartUpdate(const wchar_t* pszInstaller)
{
    static const wchar_t* const FN = L"LumoAgentApp::StartUpdate";
    if (GetFileAttributesW(pszInstaller) == INVALID_FILE_ATTRIBUTES)
    {
        GPTRACE(TRACE_ERROR, L"[%s] GetFileAttributes failed. exe:[%s]", FN, pszInstaller);
        SetExit(9, ERROR_FILE_NOT_FOUND);
        return FALSE;
    }

    SetLastError(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(pszInstaller, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                        &si, &pi))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！CreateProcess(%s)\u3000｛%s｝", FN, pszInstaller,
                GpErrText(static_cast<int>(dwErr)));
        SetExit(9, static_cast<int>(dwErr));
        return FALSE;
    }
    GpKernelHandle hProcess(pi.hProcess);
    GpKernelHandle hThread(pi.hThread);

    GPTRACE(TRACE_TRACE, L"Wait Start hProcess=0x%p for <%s>.", hProcess.Get(), pszInstaller);
    // The installer decides how long an installation takes: no time-out.
    DWORD dwWait = WaitForSingleObject(hProcess.Get(), INFINITE);
    DWORD dwExitCode = 0;
    BOOL bRead = GetExitCodeProcess(hProcess.Get(), &dwExitCode);
    if (!bRead)
        dwExitCode = 0;
    if (dwWait == WAIT_OBJECT_0)
        GPTRACE(TRACE_TRACE, L"[%s] プログラム(pid=%u)終了済み ExitCode=%u.", FN, pi.dwProcessId, dwExitCode);
    hThread.Reset();
    hProcess.Reset();

    if (bRead && dwExitCode == static_cast<DWORD>(ERROR_OK))
        return TRUE;
    GPTRACE(TRACE_ERROR, L"[%s] ！GetExitCodeProcess() dw=%u.\u3000｛%s｝", FN, dwWait,
            GpErrText(static_cast<int>(dwExitCode)));
    SetExit(9, static_cast<int>(dwExitCode));
    return FALSE;
}

void LumoAgentApp::WriteUpdateStatus(DWORD dwStatus)
{
    static const wchar_t* const FN = L"LumoAgentApp::WriteUpdateStatus";
    wchar_t szAppData[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, szAppData, CSIDL_COMMON_APPDATA, FALSE))
    {
        GPTRACE(TRACE_ERROR, L"[%s] SHGetSpecialFolderPath() FAIL... アップデートログの設定失敗 status[%d]",
                FN, dwStatus);
        return;
    }
    wchar_t szIni[261];
    GpFormatN(szIni, L"%s\\TAVR\\QVC\\System\\LumoAgent.ini", szAppData);
    GPTRACE(TRACE_TRACE, L"[%s] configini[%s] dwStatus[%d]", FN, szIni, dwStatus);

    // The profile writer rewrites the whole file for every key: an agent stopped half-way left it
    // cut, with other products' records lost. The record goes into a copy that then replaces the
    // file in one step; where no copy can be made, straight into the file as before.
    RemoveStatusTemps(szIni);
    wchar_t szTemp[261 + 16];
    GpFormatN(szTemp, L"%s.~%X.tmp", szIni, GetCurrentProcessId());
    bool bCopy = CopyStatusFile(szIni, szTemp);
    if (!bCopy)
    {
        DeleteFileW(szTemp); // whatever a failed copy left
    }
    wchar_t szTime[22];
    _i64tow_s(static_cast<__int64>(_time64(nullptr)), szTime, 22, 10);
    wchar_t szInfo[512];
    GpFormatN(szInfo, L"err:[%d] module:[KVUpdate.exe]", dwStatus);
    StatusRecord record = {m_strProduct.c_str(), m_strVersion.c_str(), szTime, szInfo,
                           dwStatus < STATUS_FAILED_FROM};
    WriteStatusRecord(record, bCopy ? szTemp : szIni);
    if (bCopy && !ReplaceStatusFile(szTemp, szIni))
    {
        GPTRACE(TRACE_WARNING, L"[%s] ！MoveFileEx(%s)\u3000｛%s｝", FN, szIni, GpErrText(-1));
        DeleteFileW(szTemp);
        WriteStatusRecord(record, szIni);
    }
    if (record.bSuccess)
        GPTRACE(TRACE_TRACE, L"[%s] succes log ver[%s], status[%s]", FN, m_strVersion.c_str(), L"3");
    else
        GPTRACE(TRACE_TRACE, L"[%s] failed log  status[%d] info[%s]", FN, 103, szInfo);
}

BOOL LumoAgentApp::OsReboot()
{
    static const wchar_t* const FN = L"LumoAgentApp::OsReboot";
    HANDLE hRawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hRawToken))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ExitWindowsEx()\u3000｛%s｝", FN, GpErrText(static_cast<int>(dwErr)));
        return FALSE;
    }
    GpKernelHandle hToken(hRawToken);
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid);
    AdjustTokenPrivileges(hToken.Get(), FALSE, &tp, 0, nullptr, nullptr);
    hToken.Reset();

    if (m_bMsgBox)
    {
        int nAnswer = GpMessageBox(
            nullptr,
            L"Quovera Clientのアップデートを完了させるには、\r\nコンピュータの再起動が必要です。\r\n"
            L"今すぐ再起動を行いますか？",
            CAPTION, MB_YESNO | MB_ICONINFORMATION);
        if (nAnswer != IDYES)
        {
            GpMessageBox(nullptr,
                         L"プログラムは正常にアップデートされましたが、\r\n再起動するまではWindowsが正常に動"
                         L"作しない\r\n"
                         L"可能性がありますのでご注意ください。",
                         CAPTION, MB_OK | MB_ICONWARNING);
            return TRUE;
        }
    }

    if (GpExitWindows(EWX_REBOOT | EWX_FORCEIFHUNG, 0))
        return TRUE;
    // The update is complete either way: a restart that cannot be started decides no outcome and
    // leaves the stored one alone; it is only traced.
    DWORD dwErr = GetLastError();
    GPTRACE(TRACE_ERROR, L"[%s] ExitWindowsEx()\u3000｛%s｝", FN, GpErrText(static_cast<int>(dwErr)));
    return FALSE;
}
