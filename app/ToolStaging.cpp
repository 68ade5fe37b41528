// Tool mode: confirmation, a private copy of the program and the patch under the user's
// temporary folder, and the hand-over to the agent launch.
#include "app/LumoAgentApp.h"

#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpFormat.h"
#include "common/GpPath.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"

namespace
{
bool Exists(const wchar_t* pszPath)
{
    return GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES;
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
        GPTRACE(TRACE_WARNING, L"[%s] Temp Folder Exist[%s]", FN, szStage);
        ShDelete(szStage);
        if (n < 3)
            continue;
        // All three were present: the first one again, if its deletion went through.
        GpFormatN(szStage, L"%sLumoTool1", szTemp);
        if (Exists(szStage))
        {
            GPTRACE(TRACE_WARNING, L"[%s] Temp Folder 異常 return ERROR_ALREADY_EXISTS", FN);
            SetExit(10, ERROR_ALREADY_EXISTS);
            return 0;
        }
    }
    if (!CreateDirectoryW(szStage, nullptr))
    {
        int nErr = static_cast<int>(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] Temp Folder CreateError[%s] [%s]", FN, GpErrText(nErr), szStage);
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
    if (!CopyFileW(m_szPatchPath, szPatchCopy, FALSE))
    {
        int nErr = static_cast<int>(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] CopyFile err[%s] [%s] → [%s]", FN, GpErrText(nErr), m_szPatchPath,
                szPatchCopy);
        SetExit(10, nErr);
        return 0;
    }
    GPTRACE(TRACE_TRACE, L"[%s] Copy [%s] → [%s]", FN, szExe, szAgent);
    if (!CopyFileW(szExe, szAgent, FALSE))
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

    if (LumoAgentAct(strCmd.c_str()) != 0)
        return 0;
    DeleteStagingAfterSuccess(szStage);
    return 1;
}
