#include "app/LumoAgentApp.h"

#include <commctrl.h>
#include <wchar.h>

#include "common/GpSeams.h"
#include "common/ClientContract.h"
#include "common/GpTrace.h"
#include "app/ExitCodeText.h"

const wchar_t* const LumoAgentApp::CAPTION = LUMO_CAPTION;

LumoAgentApp::LumoAgentApp() = default;
LumoAgentApp::~LumoAgentApp() = default;

bool LumoAgentApp::HasSwitch(const wchar_t* pszSwitch) const
{
    return m_lpCmdLine != nullptr && wcsstr(m_lpCmdLine, pszSwitch) != nullptr;
}

BOOL LumoAgentApp::InitInstance()
{
    static const wchar_t* const FN = L"LumoAgentApp::InitInstance";
    InitCommonControlsFromSystem(ICC_WIN95_CLASSES);
    CWinAppEx::InitInstance();

    SetRunMode();
    if (IsDuplicate())
        return FALSE;
    if (!GetPatchPath())
        return FALSE;

    if (m_bAgent)
    {
        if (!NLXLogout() || !AgentProgress())
            return FALSE;
        GPTRACE(TRACE_MESSAGE, L"[%s] Agent Finish!", FN);
    }
    else
    {
        if (!UserProgress())
            return FALSE;
        GPTRACE(TRACE_MESSAGE, L"[%s] Tool Finish!", FN);
    }
    SetExit(0, 0);
    return FALSE;
}

void LumoAgentApp::SetRunMode()
{
    static const wchar_t* const FN = L"LumoAgentApp::SetRunMode";
    if (m_lpCmdLine == nullptr || m_lpCmdLine[0] == L'\0')
    {
        GPTRACE(TRACE_TRACE, L"[%s] 引数なし", FN);
        return;
    }
    GPTRACE(TRACE_TRACE, L"[%s] Cmd=%s", FN, m_lpCmdLine);

    if (HasSwitch(L"/Agent"))
    {
        m_bAgent = 1;
        GPTRACE(TRACE_TRACE, L"[%s] System 権限で起動", FN);
    }
    else
    {
        GPTRACE(TRACE_TRACE, L"[%s] User 権限で起動", FN);
    }

    // Substring tests in a fixed order; the first row that matches wins.
    if (!HasSwitch(L"/s"))
    {
        GPTRACE(TRACE_TRACE, L"[%s] /normal", FN);
    }
    else if (HasSwitch(L"/sp"))
    {
        wcscpy(m_szMode, L"/sp");
        m_bConfirm = 0;
        GPTRACE(TRACE_TRACE, L"[%s] /sp", FN);
    }
    else if (HasSwitch(L"/sn"))
    {
        wcscpy(m_szMode, L"/sn");
        m_bConfirm = 0;
        m_bMsgBox = 0;
        GPTRACE(TRACE_TRACE, L"[%s] /sn", FN);
    }
    else if (HasSwitch(L"/sf"))
    {
        wcscpy(m_szMode, L"/sf");
        m_bForce = 1;
        m_bConfirm = 0;
        m_bMsgBox = 0;
        GPTRACE(TRACE_TRACE, L"[%s] /sf", FN);
    }
    else if (HasSwitch(L"/sig="))
    {
        GPTRACE(TRACE_TRACE, L"[%s] /sig= あり", FN);
    }
    else
    {
        GPTRACE(TRACE_WARNING, L"[%s] 引数異常？ 動作モードは /normal", FN);
    }

    if (HasSwitch(L"/CheckLog"))
        m_bCheckLog = 1;
    if (HasSwitch(L"/LeaveCache"))
        m_bLeaveCache = 1;
    if (HasSwitch(L"/p="))
        m_bPatchPath = 1;
    GPTRACE(TRACE_TRACE, L"[%s] CheckLog[%d] LeaveCache[%d] PatchPath[%d]", FN, m_bCheckLog, m_bLeaveCache,
            m_bPatchPath);
}

int LumoAgentApp::ExitInstance()
{
    if (m_bAgent)
        WriteExitString();
    else if (m_bMsgBox && m_nExitCode != 0)
    {
        wchar_t szText[512];
        ExitCodeText(m_nExitCode, m_nExtInfo, szText, 512);
        GpMessageBox(nullptr, szText, CAPTION, MB_OK | MB_ICONWARNING);
    }
    CWinAppEx::ExitInstance();
    return m_nExitCode;
}
