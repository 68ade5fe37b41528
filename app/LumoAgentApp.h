#pragma once
#include <windows.h>

#include "common/GpMutex.h"
#include "common/VString.h"
#include "framework/WinAppEx.h"

constexpr int LUMO_PATH_CCH = 260;

struct PatchFileInfo;

// The application object: one per process. Its start-up hook runs the whole road of the chosen
// mode; a failing step stores the exit code and its extended information and the road stops.
class LumoAgentApp : public CWinAppEx
{
public:
    LumoAgentApp();
    ~LumoAgentApp() override;

    BOOL InitInstance() override;
    int ExitInstance() override;

    void SetRunMode();

    // Road steps: nonzero to go on (IsDuplicate: nonzero to stop).
    BOOL IsDuplicate();
    BOOL GetPatchPath();
    BOOL IsSupportVer();
    BOOL IsLogoutStatus();
    BOOL NLXLogout();
    BOOL AgentProgress();
    BOOL GetInstallDir(wchar_t* pszOut);

    // With /CheckLog: waits until the client has sent its pending logs.
    BOOL LogCheck();

    // Patch expansion and verification against its configuration.
    BOOL ExpandPatch(VString strPatchCopy, VString strUpdateDir);
    BOOL GetPatchInfo(const wchar_t* pszWorkDir, PatchFileInfo& info);
    BOOL PatchInfoCheck(const wchar_t* pszInnerZip, const PatchFileInfo& info);

    // Installer run, status record and restart offer (the end of the agent road).
    BOOL StartUpdate(const wchar_t* pszInstaller);
    void WriteUpdateStatus(DWORD dwStatus);
    BOOL OsReboot();
    // With /LeaveCache: the client keeps its cached files (never fails the update).
    void UpdateServerSetting();

    // Tool road: confirmation, staging, and the agent started through the service.
    BOOL UserProgress();
    BOOL IsUpdateConfirm();
    // 0 when the agent reported success; otherwise the outcome pair is stored, and the nonzero
    // answer only says that the road stops (the exit takes the stored pair, never the answer).
    int LumoAgentAct(const wchar_t* pszCmdLine);
    // The agent's exit string as the tool read it (terminated; cbText bytes were read): 0 for
    // success, else as LumoAgentAct.
    int ParseExitString(const wchar_t* pszText, DWORD cbText);
    // Agent side of the result channel, from the exit hook.
    void WriteExitString();

    // Caption of every message box of the updater.
    static const wchar_t* const CAPTION;

    BOOL m_bAgent = 0;
    BOOL m_bConfirm = 1;
    BOOL m_bMsgBox = 1;
    BOOL m_bForce = 0;
    BOOL m_bCheckLog = 0;
    BOOL m_bLeaveCache = 0;
    BOOL m_bPatchPath = 0;
    wchar_t m_szMode[4] = L"/n";
    wchar_t m_szPatchPath[LUMO_PATH_CCH] = L"";
    wchar_t m_szPatchName[LUMO_PATH_CCH] = L"";
    VString m_strProduct;
    VString m_strVersion;
    GpMutex m_mutex;
    int m_nExitCode = 0;
    int m_nExtInfo = 0;

protected:
    // The one channel of the outcome: called by the step that decides it (a failing step, the
    // tool's reading of its agent's report, a completed road); ExitInstance reads it.
    void SetExit(int nExitCode, int nExtInfo)
    {
        m_nExitCode = nExitCode;
        m_nExtInfo = nExtInfo;
    }
    bool HasSwitch(const wchar_t* pszSwitch) const;
};
