// QvServiceSim: stand-in for the resident client service on its command pipe, for tests and for
// administrators who want to play a situation through without the real service.
#include <windows.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/GpFormat.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/ServiceProtocol.h"
#include "tools/common/ToolArgs.h"
#include "tools/common/ToolText.h"

namespace
{
const wchar_t USAGE[] =
    L"QvServiceSim: answers the updater's service commands on \\\\.\\pipe\\QvDlp_SvrTransComm.\n"
    L"\n"
    L"  QvServiceSim.exe [options]\n"
    L"\n"
    L"Ending (any number; without one it runs until stopped):\n"
    L"  /seconds=N          end after N seconds\n"
    L"  /stopevent=NAME     end when the named event is set (created when missing)\n"
    L"  /parent=PID         end when process PID ends\n"
    L"  /ready=NAME         set the named event once the pipe is served\n"
    L"\n"
    L"Answers:\n"
    L"  /version=A.B.C.D    client version for STC_GET_QVC_VERSION (default 6.60.0.0)\n"
    L"  /login=N            login status for STC_GET_LOGINSTATUS (default 0x80; 1 and 0x80 read as\n"
    L"                      logged out; decimal or 0x hex)\n"
    L"  /afterlogout=N      login status from STC_MIR_LOGOUT on (default 1)\n"
    L"  /exec=off           STC_BASECMD_SYSEXEC answers 37 with process id 0 and starts nothing\n"
    L"  /exec=pid:N         the same, answering process id N (a test that plays the agent itself)\n"
    L"  /exec=as:PATH       start the program PATH in place of the requested one, with the request's\n"
    L"                      command line (a test whose staged copy is not the updater)\n"
    L"\n"
    L"Failures, per command CMD = sysexec, logout, login, version (or its number):\n"
    L"  /status:CMD=N       reply status N instead of 37\n"
    L"  /size:CMD=N         reply of N bytes instead of the requested size\n"
    L"  /delay:CMD=MS       wait MS milliseconds before answering\n"
    L"  /drop:CMD           close the connection without answering\n"
    L"  /die:CMD            end this program (exit code 3) once such a request has been read, without\n"
    L"                      answering: a service that dies in the middle of a call\n"
    L"  /half:CMD           answer the first half of the reply only (a record cut short)\n"
    L"\n"
    L"Other:\n"
    L"  /instances=N        pipe instances served at once (default 4)\n"
    L"  /log=FILE           one UTF-8 line per request, written as it is answered\n"
    L"  /quiet              no lines on the standard output\n"
    L"\n"
    L"STC_BASECMD_SYSEXEC starts the request's command line as a new process in the requested\n"
    L"session: with this program's own token when that is the session it runs in, otherwise with a\n"
    L"copy of its token moved to that session (needs system rights).\n"
    L"Exit codes: 0 ended as asked, 1 pipe not created (another service running?), 2 bad option,\n"
    L"3 died on purpose (/die).\n";

struct CommandBehaviour
{
    WORD wCommand;
    const wchar_t* pszName;
    DWORD dwStatus = ERROR_OK;
    int nSize = -1; // -1: the requested size
    DWORD dwDelay = 0;
    bool bDrop = false;
    bool bDie = false;
    bool bHalf = false;
};

CommandBehaviour g_commands[] = {
    {STC_BASECMD_SYSEXEC, L"sysexec"},
    {STC_MIR_LOGOUT, L"logout"},
    {STC_GET_LOGINSTATUS, L"login"},
    {STC_GET_QVC_VERSION, L"version"},
};

DWORD g_version[4] = {6, 60, 0, 0};
std::atomic<DWORD> g_loginStatus{0x80};
DWORD g_afterLogout = 1;
bool g_exec = true;
DWORD g_execPid = 0;                  // with /exec=pid:N, the process id answered
const wchar_t* g_execImage = nullptr; // with /exec=as:PATH, the program started
bool g_quiet = false;
std::mutex g_logLock;
GpFile g_log;

CommandBehaviour* FindCommand(const std::wstring& name)
{
    for (CommandBehaviour& c : g_commands)
        if (_wcsicmp(name.c_str(), c.pszName) == 0 || _wtoi(name.c_str()) == c.wCommand)
            return &c;
    return nullptr;
}
CommandBehaviour* FindCommand(WORD wCommand)
{
    for (CommandBehaviour& c : g_commands)
        if (c.wCommand == wCommand)
            return &c;
    return nullptr;
}

void Log(const std::wstring& line)
{
    std::wstring text = line + L"\n";
    std::lock_guard<std::mutex> g(g_logLock);
    if (!g_quiet)
        PrintUtf8(STD_OUTPUT_HANDLE, text);
    if (g_log)
    {
        std::string s = ToUtf8(text);
        DWORD cb;
        WriteFile(g_log.Get(), s.data(), static_cast<DWORD>(s.size()), &cb, nullptr);
    }
}

// A bounded copy of a wide text field of the request, terminated even when the field is not.
std::wstring Field(const wchar_t* p, size_t cch)
{
    return std::wstring(p, wcsnlen(p, cch));
}

// Starts pszCmdLine in the given session; the new process id, or 0 with the error in dwErr.
DWORD StartInSession(const std::wstring& cmdLine, DWORD dwSession, DWORD& dwErr)
{
    std::vector<wchar_t> buf(cmdLine.begin(), cmdLine.end());
    buf.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    DWORD dwOwnSession = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &dwOwnSession);
    BOOL ok;
    if (dwSession == dwOwnSession)
    {
        ok = CreateProcessW(g_execImage, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    }
    else
    {
        // The owners keep the last error when they close the tokens.
        GpKernelHandle own, token;
        ok = OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, own.Put()) &&
             DuplicateTokenEx(own.Get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                              token.Put()) &&
             SetTokenInformation(token.Get(), TokenSessionId, &dwSession, sizeof(dwSession));
        if (ok)
        {
            wchar_t desktop[] = L"winsta0\\default";
            si.lpDesktop = desktop;
            ok = CreateProcessAsUserW(token.Get(), g_execImage, buf.data(), nullptr, nullptr, FALSE, 0,
                                      nullptr, nullptr, &si, &pi);
        }
    }
    if (!ok)
    {
        dwErr = GetLastError();
        return 0;
    }
    // Nothing waits for the started process.
    GpKernelHandle thread(pi.hThread), process(pi.hProcess);
    dwErr = 0;
    return pi.dwProcessId;
}

// Builds the reply for one request; false when the connection is to be dropped.
bool Answer(const std::string& req, std::string& reply)
{
    wchar_t line[2048];
    if (req.size() < sizeof(ServiceRequestHeader))
    {
        Log(L"request of " + std::to_wstring(req.size()) + L" bytes: too short, dropped");
        return false;
    }
    ServiceRequestHeader hdr;
    memcpy(&hdr, req.data(), sizeof(hdr));
    CommandBehaviour* pCmd = FindCommand(hdr.wCommand);
    // Replies larger than a pipe message could sensibly be are refused by dropping.
    size_t cbReply = hdr.cbReply <= 65536 ? hdr.cbReply : 0;
    if (pCmd != nullptr && pCmd->nSize >= 0)
        cbReply = static_cast<size_t>(pCmd->nSize);
    if (pCmd != nullptr && pCmd->bDie)
    {
        GpFormat(line, 2048, L"cmd=%u req=%u -> died", hdr.wCommand, static_cast<unsigned>(req.size()));
        Log(line);
        if (g_log)
            FlushFileBuffers(g_log.Get());
        ExitProcess(3);
    }
    // Half a record: the fields are filled as for the whole one, then cut.
    size_t cbSent = pCmd != nullptr && pCmd->bHalf ? cbReply / 2 : cbReply;
    reply.assign(cbReply, '\0');
    DWORD dwStatus = pCmd ? pCmd->dwStatus : ERROR_INVALID_FUNCTION;
    std::wstring extra;

    if (pCmd && pCmd->dwDelay)
        Sleep(pCmd->dwDelay);

    if (hdr.wCommand == STC_BASECMD_SYSEXEC)
    {
        DWORD dwPid = g_exec ? 0 : g_execPid;
        if (req.size() != sizeof(SysExecRequest))
        {
            dwStatus = ERROR_INVALID_PARAMETER;
            extra = L" bad-size";
        }
        else
        {
            SysExecRequest se;
            memcpy(&se, req.data(), sizeof(se));
            std::wstring cmd = Field(se.szCmdLine, STC_SYSEXEC_CMDLINE_CCH);
            std::wstring who = Field(se.szRequester, STC_SYSEXEC_REQUESTER_CCH);
            GpFormat(line, 2048, L" session=%u pid=%u pid2=%u const=%u requester=<%s> cmdline=<%s>",
                     se.dwSessionId, se.dwProcessId, se.dwProcessId2, se.dwConstant, who.c_str(),
                     cmd.c_str());
            extra = line;
            if (dwStatus == ERROR_OK && g_exec)
            {
                DWORD dwErr = 0;
                dwPid = StartInSession(cmd, se.dwSessionId, dwErr);
                if (dwPid == 0)
                {
                    dwStatus = dwErr;
                    extra += L" start-error=" + std::to_wstring(dwErr);
                }
            }
        }
        if (cbReply >= 12)
            memcpy(&reply[8], &dwPid, 4);
        extra += L" started=" + std::to_wstring(dwPid);
    }
    else if (hdr.wCommand == STC_GET_LOGINSTATUS)
    {
        DWORD dw = g_loginStatus;
        if (cbReply >= 20)
            memcpy(&reply[16], &dw, 4);
        GpFormat(line, 2048, L" login=0x%X", dw);
        extra = line;
    }
    else if (hdr.wCommand == STC_GET_QVC_VERSION)
    {
        if (cbReply >= 36)
            memcpy(&reply[20], g_version, sizeof(g_version));
        GpFormat(line, 2048, L" version=%u.%u.%u.%u", g_version[0], g_version[1], g_version[2], g_version[3]);
        extra = line;
    }
    else if (hdr.wCommand == STC_MIR_LOGOUT)
    {
        if (dwStatus == ERROR_OK)
            g_loginStatus = g_afterLogout;
        GpFormat(line, 2048, L" login-now=0x%X", static_cast<DWORD>(g_loginStatus));
        extra = line;
    }
    if (cbReply >= 8)
        memcpy(&reply[4], &dwStatus, 4);

    bool bDrop = pCmd && pCmd->bDrop;
    reply.resize(cbSent);
    GpFormat(line, 2048, L"cmd=%u qual=%u opt=%u req=%u reply=%u size=%u", hdr.wCommand, hdr.wQualifier,
             hdr.bOption, static_cast<unsigned>(req.size()), hdr.cbReply, static_cast<unsigned>(cbSent));
    Log(std::wstring(line) + extra + (bDrop ? L" -> dropped" : L" -> status=" + std::to_wstring(dwStatus)));
    return !bDrop;
}

void Serve(HANDLE hPipe)
{
    for (;;)
    {
        if (!ConnectNamedPipe(hPipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        {
            Sleep(100);
            continue;
        }
        std::string req;
        char buf[4096];
        for (;;)
        {
            DWORD cb = 0;
            BOOL ok = ReadFile(hPipe, buf, sizeof(buf), &cb, nullptr);
            DWORD dwErr = GetLastError();
            if (ok || dwErr == ERROR_MORE_DATA)
                req.append(buf, cb);
            if (ok || dwErr != ERROR_MORE_DATA || req.size() > 65536)
                break;
        }
        std::string reply;
        if (!req.empty() && Answer(req, reply))
        {
            DWORD cb;
            WriteFile(hPipe, reply.data(), static_cast<DWORD>(reply.size()), &cb, nullptr);
            FlushFileBuffers(hPipe);
        }
        DisconnectNamedPipe(hPipe);
    }
}

int Bad(const wchar_t* arg)
{
    fwprintf(stderr, L"bad option: %ls\n\n%ls", arg, USAGE);
    return 2;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    DWORD dwSeconds = 0, dwParent = 0, nInstances = 4;
    const wchar_t* pszStop = nullptr;
    const wchar_t* pszReady = nullptr;
    const wchar_t* pszLog = nullptr;
    for (int i = 1; i < argc; i++)
    {
        const wchar_t* a = argv[i];
        const wchar_t* v;
        if (wcscmp(a, L"/?") == 0 || _wcsicmp(a, L"/help") == 0)
        {
            fwprintf(stdout, L"%ls", USAGE);
            return 0;
        }
        else if ((v = ArgPrefixValue(a, L"/seconds=")))
            dwSeconds = wcstoul(v, nullptr, 10);
        else if ((v = ArgPrefixValue(a, L"/stopevent=")))
            pszStop = v;
        else if ((v = ArgPrefixValue(a, L"/parent=")))
            dwParent = wcstoul(v, nullptr, 10);
        else if ((v = ArgPrefixValue(a, L"/ready=")))
            pszReady = v;
        else if ((v = ArgPrefixValue(a, L"/instances=")))
            nInstances = wcstoul(v, nullptr, 10);
        else if (_wcsicmp(a, L"/quiet") == 0)
            g_quiet = true;
        else if ((v = ArgPrefixValue(a, L"/log=")))
            pszLog = v;
        else if ((v = ArgPrefixValue(a, L"/login=")))
            g_loginStatus = wcstoul(v, nullptr, 0);
        else if ((v = ArgPrefixValue(a, L"/afterlogout=")))
            g_afterLogout = wcstoul(v, nullptr, 0);
        else if ((v = ArgPrefixValue(a, L"/exec=as:")))
            g_execImage = v;
        else if ((v = ArgPrefixValue(a, L"/exec=pid:")))
        {
            g_exec = false;
            g_execPid = wcstoul(v, nullptr, 10);
        }
        else if ((v = ArgPrefixValue(a, L"/exec=")))
            g_exec = _wcsicmp(v, L"off") != 0;
        else if ((v = ArgPrefixValue(a, L"/version=")))
        {
            if (swscanf(v, L"%lu.%lu.%lu.%lu", &g_version[0], &g_version[1], &g_version[2], &g_version[3]) !=
                4)
                return Bad(a);
        }
        else if (a[0] == L'/' && wcschr(a, L':') != nullptr)
        {
            // /status:CMD=N, /size:CMD=N, /delay:CMD=MS, /drop:CMD, /die:CMD, /half:CMD
            std::wstring s(a + 1);
            size_t colon = s.find(L':'), eq = s.find(L'=');
            std::wstring kind = s.substr(0, colon);
            std::wstring name =
                s.substr(colon + 1, eq == std::wstring::npos ? std::wstring::npos : eq - colon - 1);
            CommandBehaviour* pCmd = FindCommand(name);
            if (pCmd == nullptr)
                return Bad(a);
            const wchar_t* num = eq == std::wstring::npos ? nullptr : a + 1 + eq + 1;
            if (kind == L"drop")
                pCmd->bDrop = true;
            else if (kind == L"die")
                pCmd->bDie = true;
            else if (kind == L"half")
                pCmd->bHalf = true;
            else if (num == nullptr)
                return Bad(a);
            else if (kind == L"status")
                pCmd->dwStatus = wcstoul(num, nullptr, 0);
            else if (kind == L"size")
                pCmd->nSize = _wtoi(num);
            else if (kind == L"delay")
                pCmd->dwDelay = wcstoul(num, nullptr, 10);
            else
                return Bad(a);
        }
        else
            return Bad(a);
    }
    if (nInstances < 1 || nInstances > PIPE_UNLIMITED_INSTANCES)
        nInstances = 4;

    if (pszLog != nullptr)
    {
        g_log.Reset(CreateFileW(pszLog, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!g_log)
        {
            fwprintf(stderr, L"cannot open %ls (%lu)\n", pszLog, GetLastError());
            return 2;
        }
    }

    // Whoever may start the updater must reach the pipe, also when this runs with system rights.
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};
    std::vector<GpFile> pipes;
    for (DWORD i = 0; i < nInstances; i++)
    {
        GpFile pipe(CreateNamedPipeW(
            SERVICE_PIPE_NAME, PIPE_ACCESS_DUPLEX | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, nInstances, 4096, 4096, 0, &sa));
        if (!pipe)
        {
            fwprintf(stderr, L"cannot create the pipe (%lu)\n", GetLastError());
            return 1;
        }
        pipes.push_back(std::move(pipe));
    }
    // Each serving thread holds its instance for as long as it runs.
    for (GpFile& pipe : pipes)
        std::thread([p = std::move(pipe)] { Serve(p.Get()); }).detach();
    Log(L"serving " + std::to_wstring(nInstances) + L" instances");

    GpKernelHandle stop, parent, ready;
    std::vector<HANDLE> waits;
    if (pszStop != nullptr)
    {
        stop.Reset(CreateEventW(nullptr, TRUE, FALSE, pszStop));
        if (!stop)
            return Bad(pszStop);
        waits.push_back(stop.Get());
    }
    if (dwParent != 0)
    {
        parent.Reset(OpenProcess(SYNCHRONIZE, FALSE, dwParent));
        if (!parent)
        {
            Log(L"parent " + std::to_wstring(dwParent) + L" is gone");
            ExitProcess(0);
        }
        waits.push_back(parent.Get());
    }
    // Held to the end: the event lives only as long as a handle to it is open.
    if (pszReady != nullptr)
    {
        ready.Reset(CreateEventW(nullptr, TRUE, FALSE, pszReady));
        if (ready)
            SetEvent(ready.Get());
    }
    DWORD dwTimeout = dwSeconds ? dwSeconds * 1000 : INFINITE;
    if (waits.empty())
        Sleep(dwTimeout);
    else
        WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, dwTimeout);
    Log(L"ending");
    if (g_log)
        FlushFileBuffers(g_log.Get());
    // The serving threads are blocked in the pipe calls; ending the process ends them.
    ExitProcess(0);
}
