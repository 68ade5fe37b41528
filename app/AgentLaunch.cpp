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
// The agent has written its report before it sets the event: the read only collects it.
constexpr DWORD REPORT_READ_MS = 10000;
// The agent's whole report, open and write, never holds its end longer than this.
constexpr DWORD REPORT_WRITE_MS = 10000;
const wchar_t REQUESTER[] = L"LumoAgent";
// Whoever serves the pipe may learn who the agent is, never act as the agent.
constexpr DWORD PIPE_CLIENT_FLAGS = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// A failure is never answered as 0, which means success to the caller.
int Failure(DWORD dwErr)
{
    return dwErr != 0 ? static_cast<int>(dwErr) : ERROR_GEN_FAILURE;
}

// Cancels an operation still pending on hPipe and waits until the system is done with its
// OVERLAPPED, so that it may go away.
void CancelPending(HANDLE hPipe, OVERLAPPED& ov, bool& bPending)
{
    if (!bPending)
        return;
    CancelIoEx(hPipe, &ov);
    DWORD cb;
    GetOverlappedResult(hPipe, &ov, &cb, TRUE);
    bPending = false;
}

// One overlapped operation on a pipe with a bound: a peer that neither reads nor writes is given
// up on, and the operation is cancelled before its buffer goes away.
class BoundedIo
{
public:
    explicit BoundedIo(HANDLE hPipe) : m_hPipe(hPipe), m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_ov.hEvent = m_event.Get();
    }
    ~BoundedIo() { Cancel(); }
    BoundedIo(const BoundedIo&) = delete;
    BoundedIo& operator=(const BoundedIo&) = delete;

    // Starts the operation with pfnStart(OVERLAPPED*) and waits up to dwMs for it: ERROR_SUCCESS
    // with the byte count, ERROR_TIMEOUT (the operation is cancelled), or the operation's error.
    template <typename Start> DWORD Run(Start pfnStart, DWORD dwMs, DWORD& cb)
    {
        cb = 0;
        if (!m_event)
            return Failure(GetLastError());
        if (!pfnStart(&m_ov))
        {
            DWORD dwErr = GetLastError();
            if (dwErr != ERROR_IO_PENDING)
                return Failure(dwErr);
            m_bPending = true;
            if (WaitForSingleObject(m_event.Get(), dwMs) != WAIT_OBJECT_0)
            {
                Cancel();
                return ERROR_TIMEOUT;
            }
            m_bPending = false;
        }
        return GetOverlappedResult(m_hPipe, &m_ov, &cb, FALSE) ? ERROR_SUCCESS : Failure(GetLastError());
    }

private:
    void Cancel() { CancelPending(m_hPipe, m_ov, m_bPending); }

    HANDLE m_hPipe;
    GpKernelHandle m_event;
    OVERLAPPED m_ov = {};
    bool m_bPending = false;
};

// The tool's instance of the result pipe waits for a client in the background; a client that is
// not the agent the service started is turned away, so that the agent can connect.
class ClientGate
{
public:
    explicit ClientGate(HANDLE hPipe) : m_hPipe(hPipe), m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        Listen();
    }
    ~ClientGate() { StopListening(); }
    ClientGate(const ClientGate&) = delete;
    ClientGate& operator=(const ClientGate&) = delete;

    // The process the service started for this tool.
    void SetAgent(DWORD dwPid) { m_dwAgentPid = dwPid; }

    // True when the agent is connected. A client with another process id is disconnected (and
    // bTurnedAway set); the instance then listens again.
    bool AgentConnected(bool& bTurnedAway)
    {
        static const wchar_t* const FN = L"LumoAgentApp::LumoAgentAct";
        if (m_bPending && WaitForSingleObject(m_event.Get(), 0) == WAIT_OBJECT_0)
        {
            DWORD cb;
            m_bPending = false;
            m_bConnected = GetOverlappedResult(m_hPipe, &m_ov, &cb, FALSE) != FALSE;
        }
        if (!m_bConnected)
            return false;
        ULONG ulPid = 0;
        if (GetNamedPipeClientProcessId(m_hPipe, &ulPid) && ulPid == m_dwAgentPid && ulPid != 0)
            return true;
        GPTRACE(TRACE_ERROR, L"[%s] ！接続元は起動した LumoAgent ではありません\u3000pid=%u agent=%u", FN,
                static_cast<unsigned>(ulPid), static_cast<unsigned>(m_dwAgentPid));
        DisconnectNamedPipe(m_hPipe);
        bTurnedAway = true;
        Listen();
        return false;
    }

private:
    void Listen()
    {
        m_bConnected = false;
        if (!m_event)
            return;
        ResetEvent(m_event.Get());
        m_ov = {};
        m_ov.hEvent = m_event.Get();
        if (ConnectNamedPipe(m_hPipe, &m_ov))
            m_bConnected = true;
        else if (GetLastError() == ERROR_IO_PENDING)
            m_bPending = true;
        else // connected before the call, or connected and gone again: either way it is checked
            m_bConnected = GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA;
    }
    void StopListening() { CancelPending(m_hPipe, m_ov, m_bPending); }

    HANDLE m_hPipe;
    DWORD m_dwAgentPid = 0;
    GpKernelHandle m_event;
    OVERLAPPED m_ov = {};
    bool m_bPending = false;
    bool m_bConnected = false;
};
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

    // The channel is this tool's alone: an instance that already exists belongs to another tool or
    // to a process waiting for the agent's report. The probe tells where the first-instance flag
    // is not honoured; one instance leaves no room for a second server after this one.
    GpFile pipe;
    if (WaitNamedPipeW(RESULT_PIPE_NAME, 1) || GetLastError() != ERROR_FILE_NOT_FOUND)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！パイプは既に存在します\u3000<%s>", FN, RESULT_PIPE_NAME);
        SetLastError(ERROR_ACCESS_DENIED); // what the first-instance flag answers
    }
    else
    {
        pipe.Reset(CreateNamedPipeW(RESULT_PIPE_NAME,
                                    PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                    PIPE_REJECT_REMOTE_CLIENTS, 1, RESULT_PIPE_BUFFER, RESULT_PIPE_BUFFER,
                                    NMPWAIT_WAIT_FOREVER, nullptr));
    }
    if (!pipe)
    {
        int nErr = Failure(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] パイプの作成に失敗しました｛%s｝", FN, GpErrText(nErr));
        SetExit(10, nErr);
        return nErr;
    }
    // An event made by someone else before this tool could wake it at their will.
    GpKernelHandle event(CreateEventW(nullptr, FALSE, FALSE, RESULT_EVENT_NAME));
    if (event && GetLastError() == ERROR_ALREADY_EXISTS)
    {
        event.Reset();
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    if (!event)
    {
        int nErr = Failure(GetLastError());
        GPTRACE(TRACE_ERROR, L"[%s] イベントハンドルの作成に失敗しました｛%s｝", FN, GpErrText(nErr));
        SetExit(10, nErr);
        return nErr;
    }
    // Listening before the agent exists: an agent that reports at once still finds the instance.
    ClientGate gate(pipe.Get());
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

    // Only the process the service started may report; the wait stays ten minutes however
    // often another client connects or the event is set.
    gate.SetAgent(reply.dwProcessId);
    bool bAgent = false;
    bool bSignalled = false;
    for (int i = 0; i < WAIT_STEPS && !bSignalled; i++)
    {
        DWORD dw = GpWaitForObject(event.Get(), WAIT_STEP_MS);
        if (dw != WAIT_OBJECT_0 && dw != WAIT_TIMEOUT)
        {
            int nErr = Failure(GetLastError());
            GPTRACE(TRACE_ERROR, L"[%s] ！WaitForSingleObject dw[%x] LumoAgent の終了コード取得失敗 err[%s]",
                    FN, dw, GpErrText(nErr));
            SetExit(10, nErr);
            return nErr;
        }
        bool bTurnedAway = false;
        bAgent = gate.AgentConnected(bTurnedAway);
        // A wake-up that came with a stranger's connection was the stranger's.
        bSignalled = dw == WAIT_OBJECT_0 && !bTurnedAway;
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
    // The event without the agent on the pipe: the agent found no channel.
    DWORD dwRead = ERROR_PIPE_NOT_CONNECTED;
    if (bAgent)
    {
        BoundedIo read(pipe.Get());
        dwRead = read.Run(
            [&](OVERLAPPED* pOv) { return ReadFile(pipe.Get(), szText, REPORT_READ_CB, nullptr, pOv); },
            REPORT_READ_MS, cbRead);
    }
    if (dwRead != ERROR_SUCCESS)
    {
        int nErr = Failure(dwRead);
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
    // Whatever the peer does, the agent goes on to set the event and end: the open and the write
    // share one bound.
    ULONGLONG ullDeadline = GetTickCount64() + REPORT_WRITE_MS;
    auto msLeft = [ullDeadline]() {
        ULONGLONG ullNow = GetTickCount64();
        return ullNow < ullDeadline ? static_cast<DWORD>(ullDeadline - ullNow) : 0;
    };
    GpFile pipe;
    DWORD dwErr = ERROR_SUCCESS;
    for (;;)
    {
        pipe.Reset(GpOpenPipeClient(RESULT_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, PIPE_CLIENT_FLAGS));
        if (pipe)
            break;
        dwErr = GetLastError();
        // The tool turns away a client that is not its agent; its instance then comes free.
        DWORD dwLeft = msLeft();
        if (dwErr != ERROR_PIPE_BUSY || dwLeft == 0)
            break;
        if (!WaitNamedPipeW(RESULT_PIPE_NAME, dwLeft < WAIT_STEP_MS ? dwLeft : WAIT_STEP_MS))
            Sleep(50); // a wait that returns at once must not turn the retries into a spin
    }
    if (!pipe)
    {
        GPTRACE(TRACE_ERROR, L"[%s] pipe open error[%s]", FN, GpErrText(Failure(dwErr)));
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
        DWORD cbExit = static_cast<DWORD>(wcslen(szExit) * sizeof(wchar_t));
        DWORD dwWrite;
        {
            BoundedIo write(pipe.Get());
            dwWrite = write.Run(
                [&](OVERLAPPED* pOv) { return WriteFile(pipe.Get(), szExit, cbExit, nullptr, pOv); },
                msLeft(), cb);
        }
        if (dwWrite != ERROR_SUCCESS)
            GPTRACE(TRACE_ERROR, L"[%s] ！WriteFile Exit String\u3000｛%s｝", FN,
                    GpErrText(static_cast<int>(dwWrite)));
        // The agent's end is closed before the event wakes the tool.
        pipe.Reset();
    }
    GpKernelHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, RESULT_EVENT_NAME));
    if (event)
        SetEvent(event.Get());
    else
        GPTRACE(TRACE_ERROR, L"[%s] event open error[%s]", FN, GpErrText(-1));
}
