// Tool mode: confirmation, a private copy of the program and the patch under the user's
// temporary folder, and the hand-over to the agent launch.
#include "app/LumoAgentApp.h"

#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpFolderWalk.h"
#include "common/GpFormat.h"
#include "common/GpHandles.h"
#include "common/GpPath.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"

namespace
{
bool Exists(const wchar_t* pszPath)
{
    return GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES;
}

// A tool holds this file of its staging folder open, without delete sharing, for as long as it
// uses the folder: another tool tells the folder from a leftover by it, and cannot delete it.
const wchar_t STAGING_LOCK[] = L"LumoTool.lock";

// Creates the folder's lock file anew and holds it; it goes when the handle is closed.
GpFile ClaimFolder(const wchar_t* pszFolder)
{
    wchar_t szLock[LUMO_PATH_CCH + 16];
    if (GpFormatN(szLock, L"%s\\%s", pszFolder, STAGING_LOCK) < 0)
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return GpFile();
    }
    return GpFile(CreateFileW(
        szLock, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Whether another tool is using the folder. A folder nobody holds is a leftover, whatever lies in
// it: the lock is taken for a moment, so a tool just setting the folder up cannot start in it.
bool InUse(const wchar_t* pszFolder)
{
    if (GpIsLink(GetFileAttributesW(pszFolder)))
        return false; // never a tool's folder; deleted as a link
    if (ClaimFolder(pszFolder))
        return false;
    if (GetLastError() != ERROR_FILE_EXISTS)
        return false;
    wchar_t szLock[LUMO_PATH_CCH + 16];
    if (GpFormatN(szLock, L"%s\\%s", pszFolder, STAGING_LOCK) < 0)
        return false; // ClaimFolder has refused the same path already
    GpFile probe(CreateFileW(szLock, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return !probe && GetLastError() == ERROR_SHARING_VIOLATION;
}

// The agent reports before its process has ended, and the running copy of the program in the
// staging folder cannot be deleted until it has: try again for a while (the tool may not be
// allowed to wait on an agent that runs with system rights).
void DeleteStagingAfterSuccess(const wchar_t* pszFolder)
{
    for (int nAttempt = 0; nAttempt < 20; nAttempt++)
    {
        ShDelete(pszFolder);
        if (!Exists(pszFolder))
            return;
        GpSleep(500);
    }
    GPTRACE(TRACE_WARNING, L"[%s] ！Temp Folder Delete[%s]", L"LumoAgentApp::UserProgress", pszFolder);
}
} // namespace

BOOL LumoAgentApp::IsUpdateConfirm()
{
    static const wchar_t* const FN = L"LumoAgentApp::IsUpdateConfirm";
    if (!m_bConfirm)
        return 1;
    wchar_t szText[1024];
    GpFormatN(
        szText,
        L"Patch:%s\r\nアップデートを実行しますか？\r\nアップデート完了後にコンピューターは再起動します。\r\n"
        L"アップデートを実行する際は作業中のプログラムを終了してください。",
        m_szPatchName);
    GPTRACE(TRACE_TRACE, L"[%s] Confirm Dialog FileName[%s]", FN, m_szPatchName);
    int ret = GpMessageBox(nullptr, szText, CAPTION, MB_OKCANCEL | MB_ICONINFORMATION);
    if (ret == IDOK)
        return 1;
    GPTRACE(TRACE_WARNING, L"[%s] ユーザーによる拒否 ret[%d]", FN, ret);
    SetExit(4, ERROR_CANCELLED);
    return 0;
}

BOOL LumoAgentApp::UserProgress()
{
    static const wchar_t* const FN = L"LumoAgentApp::UserProgress";
    if (!IsUpdateConfirm())
        return 0;

    wchar_t szTemp[LUMO_PATH_CCH];
    DWORD cch = GetTempPathW(LUMO_PATH_CCH, szTemp);
    if (cch == 0 || cch >= static_cast<DWORD>(LUMO_PATH_CCH))
    {
        // A temporary path that does not fit is refused, not cut.
        int nErr = cch == 0 ? static_cast<int>(GetLastError()) : ERROR_FILENAME_EXCED_RANGE;
        GPTRACE(TRACE_ERROR, L"[%s] GetTempPath() err[%s]", FN, GpErrText(nErr));
        SetExit(10, nErr);
        return 0;
    }

    // Formed paths that do not fit their buffer stop the road with the length error.
    auto tooLong = [&](const wchar_t* pszWhat) {
        GPTRACE(TRACE_ERROR, L"[%s] ！パス長 [%s]　｛%s｝", FN, pszWhat,
                GpErrText(ERROR_FILENAME_EXCED_RANGE));
        SetExit(10, ERROR_FILENAME_EXCED_RANGE);
        return 0;
    };

    wchar_t szStage[LUMO_PATH_CCH];
    for (int n = 1; n <= 3; n++)
    {
        if (GpFormatN(szStage, L"%sLumoTool%d", szTemp, n) < 0)
            return tooLong(szTemp);
        if (!Exists(szStage))
            break;
        if (InUse(szStage))
        {
            // Another tool's folder: neither deleted nor reused.
            GPTRACE(TRACE_WARNING, L"[%s] Temp Folder InUse[%s]", FN, szStage);
        }
        else
        {
            GPTRACE(TRACE_WARNING, L"[%s] Temp Folder Exist[%s]", FN, szStage);
            ShDelete(szStage);
        }
        if (n < 3)
            continue;
        // All three were present: the first one again, if its deletion went through.
        if (GpFormatN(szStage, L"%sLumoTool1", szTemp) < 0)
            return tooLong(szTemp);
        if (Exists(szStage))
        {
            GPTRACE(TRACE_WARNING, L"[%s] Temp Folder 異常 return ERROR_ALREADY_EXISTS", FN);
            SetExit(10, ERROR_ALREADY_EXISTS);
            return 0;
        }
    }
    // Made anew, never taken over: a folder of this name that appeared meanwhile is refused.
    if (!CreateDirectoryW(szStage, nullptr))
    {
        int nErr = static_cast<int>(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] Temp Folder CreateError[%s] [%s]", FN, GpErrText(nErr), szStage);
        SetExit(10, nErr);
        return 0;
    }
    GpFile lock = ClaimFolder(szStage);
    if (!lock)
    {
        int nErr = static_cast<int>(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] ！Temp Folder Lock[%s]\u3000｛%s｝", FN, szStage, GpErrText(nErr));
        SetExit(10, nErr);
        return 0;
    }
    GPTRACE(TRACE_TRACE, L"[%s] Temp Folder [%s]", FN, szStage);

    wchar_t szPatchCopy[LUMO_PATH_CCH];
    if (GpFormatN(szPatchCopy, L"%s\\%s", szStage, m_szPatchName) < 0)
        return tooLong(m_szPatchName);
    wchar_t szExe[LUMO_PATH_CCH];
    DWORD cchExe = GetModuleFileNameW(nullptr, szExe, LUMO_PATH_CCH);
    if (cchExe == 0 || cchExe >= static_cast<DWORD>(LUMO_PATH_CCH))
    {
        int nErr = cchExe == 0 ? static_cast<int>(GetLastError()) : ERROR_INSUFFICIENT_BUFFER;
        GPTRACE(TRACE_ERROR, L"[%s] GetModuleFileName err[%s]", FN, GpErrText(nErr));
        SetExit(10, nErr);
        return 0;
    }
    wchar_t szAgent[LUMO_PATH_CCH];
    if (GpFormatN(szAgent, L"%s\\LumoAgent.exe", szStage) < 0)
        return tooLong(szStage);

    GPTRACE(TRACE_TRACE, L"[%s] Copy [%s] → [%s]", FN, m_szPatchPath, szPatchCopy);
    // Neither copy replaces a file that someone else put into the folder.
    if (!CopyFileW(m_szPatchPath, szPatchCopy, TRUE))
    {
        int nErr = static_cast<int>(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] CopyFile err[%s] [%s] → [%s]", FN, GpErrText(nErr), m_szPatchPath,
                szPatchCopy);
        SetExit(10, nErr);
        return 0;
    }
    GPTRACE(TRACE_TRACE, L"[%s] Copy [%s] → [%s]", FN, szExe, szAgent);
    if (!CopyFileW(szExe, szAgent, TRUE))
    {
        int nErr = static_cast<int>(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] CopyFile err[%s]", FN, GpErrText(nErr));
        SetExit(10, nErr);
        return 0;
    }

    // The agent parses this line with the same switch table; its /p= value is quoted, the
    // program path is not.
    VString strCmd(szAgent);
    strCmd.Cat(L" /Agent ");
    strCmd.Cat(m_szMode);
    if (m_bCheckLog)
        strCmd.Cat(L" /CheckLog");
    if (m_bLeaveCache)
        strCmd.Cat(L" /LeaveCache");
    strCmd.Cat(L" /p=\"");
    strCmd.Cat(szPatchCopy);
    strCmd.Cat(L"\"");
    GPTRACE(TRACE_TRACE, L"[%s] Lumo Act Cmdline[%s]", FN, strCmd.c_str());

    // The answer only says whether the agent succeeded; the outcome itself is stored.
    if (LumoAgentAct(strCmd.c_str()) != 0)
        return 0;
    lock.Reset();
    DeleteStagingAfterSuccess(szStage);
    return 1;
}
