// Agent launch and the result channel: the tool has the service start the staged agent and waits
// for its exit string; the agent writes that string from its exit hook.
#include "app/LumoAgentApp.h"

#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/ClientContract.h"
#include "common/GpFormat.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"
#include "common/RXUtil.h"

namespace
{
constexpr DWORD RESULT_PIPE_BUFFER = 520;
constexpr DWORD REPORT_READ_CB = 512;
constexpr int REPORT_CCH = REPORT_READ_CB / sizeof(wchar_t);
constexpr DWORD WAIT_STEP_MS = 1000;
constexpr int WAIT_STEPS = 600; // ten minutes for the whole update
const wchar_t REQUESTER[] = L"LumoAgent";

// A failure is never answered as 0, which means success to the caller.
int Failure(DWORD dwErr)
{
    return dwErr != 0 ? static_cast<int>(dwErr) : ERROR_GEN_FAILURE;
}
} // namespace

int LumoAgentApp::LumoAgentAct(const wchar_t* pszCmdLine)
{
    static const wchar_t* const FN = L"LumoAgentApp::LumoAgentAct";
    // The request has room for 779 characters: a longer line is refused rather than cut.
    size_t cchCmd = pszCmdLine ? wcslen(pszCmdLine) : 0;
    if (pszCmdLine == nullptr || cchCmd >= static_cast<size_t>(STC_SYSEXEC_CMDLINE_CCH))
    {
        int nErr = pszCmdLine ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_PARAMETER;
        GPTRACE(TRACE_ERROR, L"[%s] ！コマンドライン長 len=%u max=%d　｛%s｝", FN,
                static_cast<unsigned>(cchCmd), STC_SYSEXEC_CMDLINE_CCH - 1, GpErrText(nErr));
        SetExit(10, nErr);
        return nErr;
    }

    GpFile pipe(CreateNamedPipeW(RESULT_PIPE_NAME, PIPE_ACCESS_DUPLEX, 0, 2, RESULT_PIPE_BUFFER,
                                 RESULT_PIPE_BUFFER, NMPWAIT_WAIT_FOREVER, nullptr));
    if (!pipe)
    {
        int nErr = Failure(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] パイプの作成に失敗しました｛%s｝", FN, GpErrText(nErr));
        SetExit(10, nErr);
        return nErr;
    }
    GpKernelHandle event(CreateEventW(nullptr, FALSE, FALSE, RESULT_EVENT_NAME));
    if (!event)
    {
        int nErr = Failure(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] イベントハンドルの作成に失敗しました｛%s｝", FN, GpErrText(nErr));
        SetExit(10, nErr);
        return nErr;
    }
    DWORD dwPid = GetCurrentProcessId();
    DWORD dwSession = 0;
    if (!ProcessIdToSessionId(dwPid, &dwSession))
    {
        int nErr = Failure(GetLastError());
        GPTRACE(TRACE_FATAL, L"[%s] ！ProcessIdToSessionId(pid=%u)　｛%s｝", FN, dwPid, GpErrText(nErr));
        SetExit(10, nErr);
        return nErr;
    }
    GPTRACE(TRACE_DEBUG, L"[%s] ProcessIdToSessionId(pid=%u) = %u.", FN, dwPid, dwSession);

    SysExecRequest req = {};
    ServiceInitHeader(req.hdr, STC_SYSEXEC_REQUEST_SIZE, STC_SYSEXEC_REPLY_SIZE, STC_BASECMD_SYSEXEC,
                      STC_BASECMD_SYSEXEC_QUAL);
    req.dwSessionId = dwSession;
    req.dwProcessId = dwPid;
    req.dwProcessId2 = dwPid;
    req.dwConstant = 5;
    wmemcpy(req.szCmdLine, pszCmdLine, cchCmd);
    wmemcpy(req.szRequester, REQUESTER, wcslen(REQUESTER));
    SysExecReply reply = {};
    int rc = RXUtil::SendCommEx(&req, sizeof(req), &reply, sizeof(reply));
    if (rc != ERROR_OK || reply.hdr.dwStatus != static_cast<DWORD>(ERROR_OK))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！SendCommEx<%s>, code=%d.　｛%s｝", FN, L"STC_BASECMD_SYSEXEC",
                static_cast<int>(reply.hdr.dwStatus), GpErrText(rc));
        SetExit(10, rc);
        return rc;
    }
    GPTRACE(TRACE_DEBUG, L"[%s] SysExec 成功: pid=%u.", FN, reply.dwProcessId);

    bool bSignalled = false;
    for (int i = 0; i < WAIT_STEPS && !bSignalled; i++)
    {
        DWORD dw = GpWaitForObject(event.Get(), WAIT_STEP_MS);
        if (dw == WAIT_OBJECT_0)
        {
            bSignalled = true;
        }
        else if (dw != WAIT_TIMEOUT)
        {
            int nErr = Failure(GetLastError());
            GPTRACE(TRACE_ERROR, L"[%s] ！WaitForSingleObject dw[%x] LumoAgent の終了コード取得失敗 err[%s]",
                    FN, dw, GpErrText(nErr));
            SetExit(10, nErr);
            return nErr;
        }
    }
    if (!bSignalled)
    {
        // Ten minutes without a report is a failure of the tool too, not a quiet success.
        GPTRACE(TRACE_ERROR, L"[%s] ！LumoAgent の終了コード取得失敗 wait[%d x %u ms]　｛%s｝", FN,
                WAIT_STEPS, WAIT_STEP_MS, GpErrText(ERROR_TIMEOUT));
        SetExit(10, ERROR_TIMEOUT);
        return ERROR_TIMEOUT;
    }

    ResetEvent(event.Get());
    // One character more than the read can fill: the text is always terminated.
    wchar_t szText[REPORT_CCH + 1] = {};
    DWORD cbRead = 0;
    if (!ReadFile(pipe.Get(), szText, REPORT_READ_CB, &cbRead, nullptr))
    {
        int nErr = Failure(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile err LumoAgent の終了コード取得失敗[%s]", FN, GpErrText(nErr));
        SetExit(10, nErr);
        return nErr;
    }
    GPTRACE(TRACE_DEBUG, L"[%s] LumoAgent 終了を検知: %s", FN, szText);
    event.Reset();
    pipe.Reset();
    return ParseExitString(szText, cbRead);
}

int LumoAgentApp::ParseExitString(const wchar_t* pszText, DWORD cbText)
{
    static const wchar_t* const FN = L"LumoAgentApp::LumoAgentAct";
    // Success is exactly what was read: a zero character inside the report must not hide
    // what follows it.
    static const wchar_t SUCCESS[] = L"SUCCESS";
    constexpr DWORD SUCCESS_CB = (ARRAYSIZE(SUCCESS) - 1) * sizeof(wchar_t);
    if (cbText == SUCCESS_CB && wmemcmp(pszText, SUCCESS, ARRAYSIZE(SUCCESS) - 1) == 0)
    {
        GPTRACE(TRACE_DEBUG, L"[%s] LumoAgent 正常終了", FN);
        return 0;
    }
    const wchar_t* pCode = wcsstr(pszText, L"/ExitCode=");
    if (pCode == nullptr)
    {
        SetExit(10, 1);
        return 1;
    }
    wchar_t szCode[LUMO_PATH_CCH] = {};
    wcsncpy(szCode, pCode + wcslen(L"/ExitCode="), LUMO_PATH_CCH - 1);
    wchar_t* pBlank = wcschr(szCode, L' ');
    if (pBlank == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] /ExitCode= Parse Error string[%s] trim[%c]", FN, szCode, L' ');
        SetExit(10, 1);
        return 1;
    }
    *pBlank = L'\0';
    int nExitCode = _wtoi(szCode);
    const wchar_t* pExt = wcsstr(pszText, L"/ExtInfo=");
    // A failure report whose code reads as 0 would pass for success.
    if (pExt == nullptr || nExitCode == 0)
    {
        if (nExitCode == 0)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！失敗の報告に終了コード 0\u3000string[%s]", FN, szCode);
        }
        SetExit(10, 1);
        return 1;
    }
    int nExtInfo = _wtoi(pExt + wcslen(L"/ExtInfo="));
    GPTRACE(TRACE_DEBUG, L"[%s] LumoAgent Err[%d], [%d]", FN, nExitCode, nExtInfo);
    SetExit(nExitCode, nExtInfo);
    return nExitCode;
}

void LumoAgentApp::WriteExitString()
{
    static const wchar_t* const FN = L"LumoAgentApp::ExitInstance";
    GpFile pipe(
        CreateFileW(RESULT_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe)
    {
        GPTRACE(TRACE_ERROR, L"[%s] pipe open error[%s]", FN, GpErrText(-1));
    }
    else
    {
        wchar_t szExit[64];
        if (m_nExitCode == 0)
            GpFormatN(szExit, L"SUCCESS");
        else
            GpFormatN(szExit, L"FAILED /ExitCode=%d /ExtInfo=%d", m_nExitCode, m_nExtInfo);
        GPTRACE(TRACE_DEBUG, L"[%s] Exit String[%s]", FN, szExit);
        DWORD cb = 0;
        WriteFile(pipe.Get(), szExit, static_cast<DWORD>(wcslen(szExit) * sizeof(wchar_t)), &cb, nullptr);
        // The agent's end is closed before the event wakes the tool.
        pipe.Reset();
    }
    GpKernelHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, RESULT_EVENT_NAME));
    if (event)
        SetEvent(event.Get());
    else
        GPTRACE(TRACE_ERROR, L"[%s] event open error[%s]", FN, GpErrText(-1));
}
