// Before the client is updated its leak-prevention module must be logged out: by the main
// client window from version 6.60 on, otherwise only checked (or forced) through the service.
#include "app/LumoAgentApp.h"

#include "common/GpErrorText.h"
#include "common/ClientContract.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"
#include "common/RXUtil.h"

namespace
{
constexpr DWORD LOGIN_STATUS_LOGGED_OUT = 1;
constexpr DWORD LOGIN_STATUS_LOGGED_OUT_ALT = 0x80;

// Logging the module out may take the client a network round trip or two; a window that has not
// answered within a minute is not coming back, and an unattended update must not wait for ever on
// a window anyone can register under the client's class name.
constexpr UINT LOGOUT_MESSAGE_TIMEOUT_MS = 60000;

// The service answers with exactly the size we ask for; the rest of the reply stays zero.
int SendHeaderOnly(WORD wCommand, WORD wQualifier, void* pReply, int cbReply)
{
    ServiceRequestHeader req;
    ServiceInitHeader(req, STC_HEADER_REQUEST_SIZE, cbReply, wCommand, wQualifier);
    ZeroMemory(pReply, static_cast<size_t>(cbReply));
    return RXUtil::SendCommEx(&req, STC_HEADER_REQUEST_SIZE, pReply, cbReply);
}

// Sends the logout request, bounded: a hung window or one that keeps it past the bound gives false
// with the Windows error in dwError; otherwise nAnswer is the window's answer.
bool SendLogoutMessage(const wchar_t* FN, HWND hWnd, BOOL bForce, int& nAnswer, DWORD& dwError)
{
    DWORD_PTR dwResult = 0;
    UINT uTimeout = GpMessageTimeout(LOGOUT_MESSAGE_TIMEOUT_MS);
    SetLastError(0);
    if (SendMessageTimeoutW(hWnd, RX_MSG_TOOL_UPDATE, static_cast<WPARAM>(bForce), 0,
                            SMTO_ABORTIFHUNG | SMTO_BLOCK, uTimeout, &dwResult) == 0)
    {
        dwError = GetLastError();
        if (dwError == 0)
            dwError = ERROR_TIMEOUT; // aborted on a hung window
        GPTRACE(TRACE_ERROR, L"[%s] ！SendMessageTimeout(RX_MSG_TOOL_UPDATE) %ums\u3000｛%s｝", FN, uTimeout,
                GpErrText(static_cast<int>(dwError)));
        return false;
    }
    nAnswer = static_cast<int>(dwResult);
    return true;
}
} // namespace

BOOL LumoAgentApp::IsSupportVer()
{
    static const wchar_t* const FN = L"LumoAgentApp::IsSupportVer";
    VersionReply reply;
    int rc =
        SendHeaderOnly(STC_GET_QVC_VERSION, STC_GET_QVC_VERSION_QUAL, &reply, STC_GET_QVC_VERSION_REPLY_SIZE);
    if (rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！SendCommEx\u3000｛%s｝", FN, GpErrText(rc));
        return 0;
    }
    if (reply.hdr.dwStatus != static_cast<DWORD>(ERROR_OK))
    {
        GPTRACE(TRACE_DEBUG, L"[%s] ！STC_GET_QVC_VERSION\u3000｛%s｝", FN,
                GpErrText(static_cast<int>(reply.hdr.dwStatus)));
        return 0;
    }
    const DWORD* v = reply.adwVersion;
    if (v[0] > 6 || (v[0] == 6 && v[1] >= 60))
    {
        GPTRACE(TRACE_TRACE, L"[%s] ログアウト対応可能バージョンです。 QVC-Ver%d.%02d.%02d.%d", FN, v[0],
                v[1], v[2], v[3]);
        return 1;
    }
    GPTRACE(TRACE_WARNING, L"[%s] ログアウト未対応バージョン Ver%d.%02d.%02d.%d", FN, v[0], v[1], v[2], v[3]);
    return 0;
}

BOOL LumoAgentApp::IsLogoutStatus()
{
    static const wchar_t* const FN = L"LumoAgentApp::IsLogoutStatus";
    LoginStatusReply reply;
    int rc =
        SendHeaderOnly(STC_GET_LOGINSTATUS, STC_GET_LOGINSTATUS_QUAL, &reply, STC_GET_LOGINSTATUS_REPLY_SIZE);
    if (rc != ERROR_OK || reply.hdr.dwStatus != static_cast<DWORD>(ERROR_OK))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！SendCommEx<%s>, code=%d.\u3000｛%s｝", FN, L"STC_GET_LOGINSTATUS",
                static_cast<int>(reply.hdr.dwStatus), GpErrText(rc));
        return 0;
    }
    GPTRACE(TRACE_DEBUG, L"[%s] nlx LoginStatus[%x]", FN, reply.dwLoginStatus);
    if (reply.dwLoginStatus == LOGIN_STATUS_LOGGED_OUT || reply.dwLoginStatus == LOGIN_STATUS_LOGGED_OUT_ALT)
    {
        GPTRACE(TRACE_TRACE, L"[%s] ログアウト済み", FN);
        return 1;
    }
    return 0;
}

BOOL LumoAgentApp::NLXLogout()
{
    static const wchar_t* const FN = L"LumoAgentApp::NLXLogout";
    if (!IsSupportVer())
    {
        if (IsLogoutStatus())
        {
            GPTRACE(TRACE_DEBUG, L"[%s] NLX Client はログアウトされていることを確認", FN);
            return 1;
        }
        if (!m_bForce)
        {
            GPTRACE(TRACE_WARNING, L"[%s] 現在のバージョンでは対応していないオプションが指定されました", FN);
            SetExit(6, 0);
            return 0;
        }
        // Force mode goes on whatever the service answers; the failure is only traced.
        LogoutReply reply;
        int rc = SendHeaderOnly(STC_MIR_LOGOUT, STC_MIR_LOGOUT_QUAL, &reply, STC_MIR_LOGOUT_REPLY_SIZE);
        if (rc != ERROR_OK || reply.hdr.dwStatus != static_cast<DWORD>(ERROR_OK))
        {
            GPTRACE(TRACE_ERROR, L"[%s] !SendCommEx(STC_MIR_LOGOUT) recv.code=<%d> Err=<%s>", FN,
                    static_cast<int>(reply.hdr.dwStatus), GpErrText(rc));
        }
        GPTRACE(TRACE_DEBUG, L"[%s] NLX Force Logout!", FN);
        return 1;
    }

    SetLastError(0); // a stale error must not be reported as the search's
    HWND hWnd = FindWindowW(RX_MAIN_WINDOW_CLASS, nullptr);
    if (hWnd == nullptr)
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！FindWindow(RXMainAppClass) err[%s]", FN,
                GpErrText(static_cast<int>(dwErr)));
        if (m_bForce)
            return 1;
        SetExit(5, static_cast<int>(dwErr));
        return 0;
    }

    int nAnswer = 0;
    DWORD dwErr = 0;
    if (!SendLogoutMessage(FN, hWnd, m_bForce, nAnswer, dwErr))
    {
        SetExit(5, static_cast<int>(dwErr));
        return 0;
    }
    if (nAnswer == 0)
    {
        GPTRACE(TRACE_DEBUG, L"[%s] NLX Logout!", FN);
        return 1;
    }
    GPTRACE(TRACE_WARNING, L"[%s] RX_MSG_TOOL_UPDATE ログアウトエラー ret[%d]", FN, nAnswer);
    if (!m_bMsgBox)
    {
        SetExit(5, nAnswer);
        return 0;
    }

    // One retry only: the box is not shown a second time.
    int nBox = GpMessageBox(nullptr,
                            L"NLXの機能を利用中のためアップデートできません。\r\n"
                            L"関連するアプリケーションを終了後、再実施して下さい。",
                            CAPTION, MB_RETRYCANCEL | MB_ICONINFORMATION);
    if (nBox != IDRETRY)
    {
        GPTRACE(TRACE_WARNING, L"[%s] リトライメッセージ。ユーザーによる拒否 ret[%d]", FN, nBox);
        SetExit(5, ERROR_CANCELLED);
        return 0;
    }
    if (!SendLogoutMessage(FN, hWnd, m_bForce, nAnswer, dwErr))
    {
        SetExit(5, static_cast<int>(dwErr));
        return 0;
    }
    if (nAnswer == 0)
    {
        GPTRACE(TRACE_DEBUG, L"[%s] NLX Logout! リトライによる成功", FN);
        return 1;
    }
    GPTRACE(TRACE_WARNING, L"[%s] RX_MSG_TOOL_UPDATE ログアウトエラー ret[%d]", FN, nAnswer);
    SetExit(5, nAnswer);
    return 0;
}
