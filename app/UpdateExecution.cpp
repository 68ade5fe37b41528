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
#include "app/StatusRecord.h"

namespace
{
constexpr DWORD STATUS_FAILED_FROM = 100;
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
    if (GpFormatN(szIni, L"%s\\TAVR\\QVC\\System\\LumoAgent.ini", szAppData) < 0)
    {
        // A cut path would name another file: the record is not written.
        GPTRACE(TRACE_ERROR,
                L"[%s] ！パス長 [%s]\u3000｛%s｝\u3000status[%d]の記録は書かれず、ファイルは元のままです。",
                FN, szAppData, GpErrText(ERROR_FILENAME_EXCED_RANGE), dwStatus);
        return;
    }
    GPTRACE(TRACE_TRACE, L"[%s] configini[%s] dwStatus[%d]", FN, szIni, dwStatus);

    // The record goes into a new file that then replaces the old one in one step: other products'
    // records survive a stop half-way and a full disk. Where that cannot be done the record is not
    // written and the file stays as it was.
    RemoveStatusTemps(szIni);
    wchar_t szTime[22];
    _i64tow_s(static_cast<__int64>(_time64(nullptr)), szTime, 22, 10);
    wchar_t szInfo[512];
    GpFormatN(szInfo, L"err:[%d] module:[KVUpdate.exe]", dwStatus);
    bool bSuccess = dwStatus < STATUS_FAILED_FROM;
    const StatusKey success[] = {{L"CurrentVersion", m_strVersion.c_str()},
                                 {L"CurrentEntryDate", szTime},
                                 {L"UpdateStatus", L"3"},
                                 {L"SupportInfo", L""}};
    const StatusKey failure[] = {{L"UpdateType", L"0"}, {L"UpdateStatus", L"103"}, {L"SupportInfo", szInfo}};
    const wchar_t* pszStep = L"";
    int rc = bSuccess ? WriteStatusFile(szIni, m_strProduct.c_str(), success, 4, pszStep)
                      : WriteStatusFile(szIni, m_strProduct.c_str(), failure, 3, pszStep);
    if (rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR,
                L"[%s] ！%s(%s)\u3000｛%s｝\u3000status[%d]の記録は書かれず、ファイルは元のままです。", FN,
                pszStep, szIni, GpErrText(rc), dwStatus);
        return;
    }
    if (bSuccess)
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
