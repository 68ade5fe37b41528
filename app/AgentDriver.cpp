// The agent's update road: install folder from the registry, a fresh update folder with the
// patch in it, then expansion, log wait, installer, status, settings and restart in that order.
#include "LumoAgentApp.h"

#include <wchar.h>

#include "../common/GpErrorText.h"
#include "../common/GpHandles.h"
#include "../common/GpPath.h"
#include "../common/GpResult.h"
#include "../common/GpSeams.h"
#include "../common/GpTrace.h"
#include "../common/TmArray.h"
#include "../common/VString.h"

namespace
{
const wchar_t UNINSTALL_KEY[] = L"software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t PRODUCT_KEY_32[] = L"{3B7E1C42-9A5D-4F60-8C21-7D4E5A9B0C13}";
const wchar_t PRODUCT_KEY_64[] = L"{A4C2E8F1-6B3D-4E97-B5A0-2F8C7D1E6B54}";

// The shell deletes the folder with its contents, without any dialog.
int DeleteFolderTree(const wchar_t* pszFolder)
{
    TmArray<VString> list;
    list.Add(VString(pszFolder));
    return ShDelete(list);
}
} // namespace

BOOL LumoAgentApp::GetInstallDir(wchar_t* pszOut)
{
    static const wchar_t* const FN = L"LumoAgentApp::GetInstallDir";
    // A failed open here makes the product-key opens below fail in turn.
    GpRegKey uninstall;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ, uninstall.Put());

    GpRegKey product;
    LONG rc = RegOpenKeyExW(uninstall.Get(), PRODUCT_KEY_32, 0, KEY_READ, product.Put());
    if (rc == ERROR_SUCCESS)
    {
        GPTRACE(TRACE_TRACE, L"[%s] 32bit mode.", FN);
    }
    else
    {
        GPTRACE(TRACE_WARNING, L"[%s] RegOpenKeyEx(32bit) Err[%s]", FN, GpErrText(static_cast<int>(rc)));
        rc = RegOpenKeyExW(uninstall.Get(), PRODUCT_KEY_64, 0, KEY_READ, product.Put());
        if (rc != ERROR_SUCCESS)
        {
            GPTRACE(TRACE_WARNING, L"[%s] RegOpenKeyEx(64bit) Err[%s]", FN, GpErrText(static_cast<int>(rc)));
            SetExit(10, static_cast<int>(rc));
            return 0;
        }
        GPTRACE(TRACE_TRACE, L"[%s] 64bit mode.", FN);
    }

    // 522 bytes are offered; the spare zeroes behind them terminate a value stored without one.
    wchar_t szValue[LUMO_PATH_CCH + 4] = {};
    DWORD cbValue = (LUMO_PATH_CCH + 1) * sizeof(wchar_t);
    rc = RegQueryValueExW(product.Get(), L"InstallLocation", nullptr, nullptr,
                          reinterpret_cast<BYTE*>(szValue), &cbValue);
    product.Reset();
    uninstall.Reset();
    if (rc != ERROR_SUCCESS)
    {
        GPTRACE(TRACE_ERROR, L"[%s] RegQueryValueEx(InstallLocation) Err[%s]", FN,
                GpErrText(static_cast<int>(rc)));
        SetExit(10, static_cast<int>(rc));
        return 0;
    }
    if (szValue[0] == L'\0')
    {
        GPTRACE(TRACE_ERROR, L"[%s] InstallPath Unknown", FN);
        SetExit(10, ERROR_PATH_NOT_FOUND);
        return 0;
    }
    // The caller's buffer holds 259 characters and the terminator: a longer folder is refused
    // rather than cut into another folder's name.
    int nLen = lstrlenW(szValue);
    if (nLen >= LUMO_PATH_CCH)
    {
        GPTRACE(TRACE_ERROR, L"[%s] InstallPath too long len=%d <%s>", FN, nLen, szValue);
        SetExit(10, ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    wmemcpy(pszOut, szValue, static_cast<size_t>(nLen) + 1);
    return 1;
}

BOOL LumoAgentApp::AgentProgress()
{
    static const wchar_t* const FN = L"LumoAgentApp::AgentProgress";
    if (!m_bMsgBox)
    {
        // Nothing creates a window of this class; neither result matters.
        WNDCLASSW wc = {};
        GetClassInfoW(m_hInstance, MAKEINTRESOURCEW(0x8002), &wc); // "#32770", the dialog class
        wc.lpszClassName = L"LumoAgentAppClass";
        RegisterClass(&wc);
    }

    wchar_t szInstall[LUMO_PATH_CCH];
    if (!GetInstallDir(szInstall))
        return 0;

    // The install folder is a plain prefix: it is expected to end with a backslash.
    VString strUpdate(szInstall);
    strUpdate.Cat(L"Lumo\\QuoveraClient");
    VString strOld(szInstall);
    strOld.Cat(L"\\Lumo\\old_patch");
    if (GetFileAttributesW(strUpdate) != INVALID_FILE_ATTRIBUTES)
    {
        GPTRACE(TRACE_WARNING, L"[%s] Lumo Update Folder Exist[%s]", FN, strUpdate.c_str());
        if (MoveFileExW(strUpdate, strOld, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        {
            DeleteFolderTree(strOld);
        }
        else
        {
            GPTRACE(TRACE_WARNING, L"[%s] ！MoveFileEx(%s → %s)\u3000err｛%s｝", FN, strUpdate.c_str(),
                    strOld.c_str(), GpErrText(-1));
            int rc = DeleteFolderTree(strUpdate);
            if (rc != ERROR_OK)
            {
                // The shell's own code stands in when it left no Windows error behind.
                DWORD dwErr = GetLastError();
                if (dwErr == 0)
                    dwErr = static_cast<DWORD>(-rc);
                GPTRACE(TRACE_WARNING, L"[%s] ！ShDelete(%s)\u3000err｛%s｝", FN, strUpdate.c_str(),
                        GpErrText(static_cast<int>(dwErr)));
                SetExit(10, static_cast<int>(dwErr));
                return 0;
            }
            GpSleep(1000); // let the file system settle before the folder is made again
        }
    }
    // An agent stopped while it deleted the old folder leaves it behind, and nothing else would
    // ever remove it: every later move would fail on it.
    if (GetFileAttributesW(strOld) != INVALID_FILE_ATTRIBUTES)
    {
        GPTRACE(TRACE_WARNING, L"[%s] Lumo Old Patch Folder Exist[%s]", FN, strOld.c_str());
        DeleteFolderTree(strOld);
    }

    if (!CreateDirectoryW(strUpdate, nullptr))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] Temp Folder CreateError[%s] [%s]", FN, GpErrText(static_cast<int>(dwErr)),
                strUpdate.c_str());
        SetExit(10, static_cast<int>(dwErr));
        return 0;
    }

    strUpdate.Cat(L"\\");
    VString strCopy(strUpdate);
    strCopy.Cat(m_szPatchName);
    GPTRACE(TRACE_TRACE, L"[%s] Copy [%s] → [%s]", FN, m_szPatchPath, strCopy.c_str());
    if (!CopyFileW(m_szPatchPath, strCopy, FALSE))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] CopyFile err[%s] [%s] → [%s]", FN, GpErrText(static_cast<int>(dwErr)),
                m_szPatchPath, strCopy.c_str());
        SetExit(10, static_cast<int>(dwErr));
        return 0;
    }

    if (!ExpandPatch(strCopy, strUpdate))
        return 0;
    if (!LogCheck())
        return 0;
    VString strInstaller(strUpdate);
    strInstaller.Cat(L"PatchMain.exe");
    if (!StartUpdate(strInstaller))
    {
        WriteUpdateStatus(103); // the installer's exit code stands
        return 0;
    }
    WriteUpdateStatus(3);
    UpdateServerSetting();
    // A refused or failed restart never turns a completed update into a failure.
    if (!OsReboot())
        SetExit(0, 0);
    return 1;
}
