// The agent's update road: install folder from the registry, a fresh update folder with the
// patch in it, then expansion, log wait, installer, status, settings and restart in that order.
#include "app/LumoAgentApp.h"

#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpFolderWalk.h"
#include "common/ClientContract.h"
#include "common/GpHandles.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"
#include "common/VString.h"

BOOL LumoAgentApp::GetInstallDir(wchar_t* pszOut)
{
    static const wchar_t* const FN = L"LumoAgentApp::GetInstallDir";
    // A failed open here makes the product-key opens below fail in turn.
    GpRegKey uninstall;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, CLIENT_UNINSTALL_KEY, 0, KEY_READ, uninstall.Put());

    GpRegKey product;
    LONG rc = RegOpenKeyExW(uninstall.Get(), CLIENT_PRODUCT_KEY_32, 0, KEY_READ, product.Put());
    if (rc == ERROR_SUCCESS)
    {
        GPTRACE(TRACE_TRACE, L"[%s] 32bit mode.", FN);
    }
    else
    {
        GPTRACE(TRACE_WARNING, L"[%s] RegOpenKeyEx(32bit) Err[%s]", FN, GpErrText(static_cast<int>(rc)));
        rc = RegOpenKeyExW(uninstall.Get(), CLIENT_PRODUCT_KEY_64, 0, KEY_READ, product.Put());
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
    rc = RegQueryValueExW(product.Get(), CLIENT_INSTALL_LOCATION, nullptr, nullptr,
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
        GPTRACE(TRACE_ERROR, L"[%s] ！InstallPath too long len=%d <%s>", FN, nLen, szValue);
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
        RegisterWindowClass(&wc);
    }

    wchar_t szInstall[LUMO_PATH_CCH];
    if (!GetInstallDir(szInstall))
        return 0;

    // The install folder is a plain prefix: it is expected to end with a backslash.
    VString strUpdate(szInstall);
    strUpdate.Cat(L"Lumo\\QuoveraClient");
    VString strOld(szInstall);
    strOld.Cat(L"\\Lumo\\old_patch");
    DWORD dwUpdateAttr = GetFileAttributesW(strUpdate);
    if (dwUpdateAttr != INVALID_FILE_ATTRIBUTES)
    {
        GPTRACE(TRACE_WARNING, L"[%s] Lumo Update Folder Exist[%s]", FN, strUpdate.c_str());
        // A leftover old-patch link goes first, as a link: a move onto it must not land in what it
        // points to.
        if (GpIsLink(GetFileAttributesW(strOld)))
            ShDelete(strOld);
        // An update folder that is a link is never moved: moving it can move what it points to
        // (Wine does), which the deletion would then empty. It is deleted in place, as a link.
        bool bMoved = false;
        if (GpIsLink(dwUpdateAttr))
        {
            GPTRACE(TRACE_WARNING, L"[%s] ！Update Folder is a link[%s]", FN, strUpdate.c_str());
        }
        else if (MoveFileExW(strUpdate, strOld, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        {
            bMoved = true;
        }
        else
        {
            GPTRACE(TRACE_WARNING, L"[%s] ！MoveFileEx(%s → %s)\u3000err｛%s｝", FN, strUpdate.c_str(),
                    strOld.c_str(), GpErrText(-1));
        }
        if (bMoved)
        {
            ShDelete(strOld);
        }
        else
        {
            int rc = ShDelete(strUpdate);
            if (rc != ERROR_OK)
            {
                DWORD dwErr = static_cast<DWORD>(rc);
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
        ShDelete(strOld);
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
    // A refused or failed restart never turns a completed update into a failure: it stores nothing.
    OsReboot();
    return 1;
}
