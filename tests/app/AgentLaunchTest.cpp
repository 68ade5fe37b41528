// Agent launch and the result channel, in process against the service stand-in QvServiceSim.exe;
// the agent's side is played by a second application object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/LumoAgentApp.h"
#include "common/ClientContract.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "tests/app/CommandLineApp.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

TEST(ExitString, ReportsAndMalformedReports)
{
    struct Case
    {
        std::wstring text;
        int answer, exitCode, extInfo;
    } cases[] = {
        {L"SUCCESS", 0, 0, 0},
        {L"FAILED /ExitCode=7 /ExtInfo=18", 7, 7, 18},
        {L"FAILED /ExitCode=10 /ExtInfo=1460", 10, 10, 1460},
        {L"FAILED /ExitCode=-3 /ExtInfo=-5", -3, -3, -5},
        {L"FAILED /ExitCode=9 /ExtInfo=", 9, 9, 0},
        {L"SUCCESS ", 1, 10, 1},
        {std::wstring(L"SUCCESS\0FAILED", 14), 1, 10, 1}, // what follows a zero still counts
        {L"SUCCESSFAILED /ExitCode=7 /ExtInfo=18", 7, 7, 18},
        {L"success", 1, 10, 1},
        {L"", 1, 10, 1},
        {L"FAILED", 1, 10, 1},
        {L"FAILED /ExitCode=7", 1, 10, 1},           // no blank after the number
        {L"FAILED /ExitCode=7 /Ext=18", 1, 10, 1},   // no /ExtInfo=
        {L"FAILED /ExitCode= /ExtInfo=3", 1, 10, 1}, // a code that reads as 0 is no success
        {L"FAILED /ExitCode=abc /ExtInfo=3", 1, 10, 1},
        {std::wstring(256, L'A'), 1, 10, 1},
        {L"/ExitCode=" + std::wstring(246, L'9'), 1, 10, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ToUtf8(c.text.substr(0, 60)));
        LumoAgentApp app;
        DWORD cb = static_cast<DWORD>(c.text.size() * sizeof(wchar_t));
        EXPECT_EQ(c.answer, app.ParseExitString(c.text.c_str(), cb));
        EXPECT_EQ(c.exitCode, app.m_nExitCode);
        EXPECT_EQ(c.extInfo, app.m_nExtInfo);
    }
}

// A failure report whose code reads as 0 is refused with a line of its own, not as a parse error.
TEST(ExitString, ZeroCodeHasItsOwnTraceLine)
{
    TraceCapture capture;
    LumoAgentApp app;
    std::wstring text = L"FAILED /ExitCode=0 /ExtInfo=3";
    EXPECT_EQ(1, app.ParseExitString(text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t))));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] ！失敗の報告に終了コード 0\u3000string[0]"));
    EXPECT_FALSE(capture.Contains(L"Parse Error"));
}

TEST(AgentLaunch, ReportTravelsFromAgentToTool)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    struct Case
    {
        int exitCode, extInfo, answer;
    } cases[] = {{0, 0, 0}, {7, 18, 7}, {3, 4, 3}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.exitCode);
        TraceCapture capture;
        AgentReportsOnFirstWait(c.exitCode, c.extInfo);
        LumoAgentApp tool;
        EXPECT_EQ(c.answer, tool.LumoAgentAct(L"C:\\t\\LumoAgent.exe /Agent /n /p=\"C:\\t\\p.zip\""));
        EXPECT_EQ(c.exitCode, tool.m_nExitCode);
        EXPECT_EQ(c.extInfo, tool.m_nExtInfo);
        EXPECT_TRUE(capture.WaitFor(c.exitCode == 0
                                        ? L"[LumoAgentApp::ExitInstance] Exit String[SUCCESS]"
                                        : L"[LumoAgentApp::ExitInstance] Exit String[FAILED /ExitCode="));
    }
    // What the service was asked: this session, this process twice, the constant and the name.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    std::string pid = std::to_string(GetCurrentProcessId());
    std::string expected =
        "cmd=11 qual=10 opt=1 req=2768 reply=16 size=16 session=" + std::to_string(session) + " pid=" + pid +
        " pid2=" + pid +
        " const=5 requester=<LumoAgent> cmdline=<C:\\t\\LumoAgent.exe /Agent /n "
        "/p=\"C:\\t\\p.zip\"> started=" +
        pid + " -> status=37";
    EXPECT_NE(std::string::npos, sim.Log().find(expected)) << sim.Log();
}

TEST(AgentLaunch, ServiceFailuresBecomeExitCodeTen)
{
    struct Case
    {
        const wchar_t* simArgs; // null: no service
        int answer;
    } cases[] = {
        {nullptr, ERROR_FILE_NOT_FOUND},
        {L"/status:sysexec=5", 37},
        {L"/size:sysexec=15", ERROR_INVALID_DATA},
        {L"/drop:sysexec", ERROR_BROKEN_PIPE},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.simArgs ? ToUtf8(c.simArgs) : "no service");
        ServiceSimProcess sim;
        ASSERT_TRUE(c.simArgs == nullptr || sim.Start(std::wstring(L"/exec=off ") + c.simArgs));
        TraceCapture capture;
        LumoAgentApp tool;
        int rc = tool.LumoAgentAct(L"x /Agent /n");
        // How a dropped connection reads is the pipe layer's choice; it is never success.
        EXPECT_TRUE(c.answer == ERROR_BROKEN_PIPE ? rc != 0 && rc != 37 : rc == c.answer) << rc;
        EXPECT_EQ(10, tool.m_nExitCode);
        EXPECT_EQ(rc, tool.m_nExtInfo);
        EXPECT_TRUE(
            capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] ！SendCommEx<STC_BASECMD_SYSEXEC>, code="));
    }
}

TEST(AgentLaunch, GivesUpAfterSixHundredWaitsWithExitCodeTen)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    std::vector<DWORD> waits;
    GpSeam().WaitForObjectFn = [&](HANDLE, DWORD ms) {
        waits.push_back(ms);
        return static_cast<DWORD>(WAIT_TIMEOUT);
    };
    LumoAgentApp tool;
    EXPECT_EQ(ERROR_TIMEOUT, tool.LumoAgentAct(L"x /Agent /n"));
    EXPECT_EQ(10, tool.m_nExitCode);
    EXPECT_EQ(ERROR_TIMEOUT, tool.m_nExtInfo);
    ASSERT_EQ(600u, waits.size());
    for (DWORD ms : waits)
        ASSERT_EQ(1000u, ms);
    // The channel is closed again: a new tool can create it.
    GpFile pipe(CreateNamedPipeW(RESULT_PIPE_NAME, PIPE_ACCESS_DUPLEX, 0, 1, 520, 520, 0, nullptr));
    EXPECT_TRUE(pipe.IsValid());
}

TEST(AgentLaunch, CommandLineOfMoreThan779CharactersIsNeverSent)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    std::wstring fits = L"C:\\a.exe /Agent " + std::wstring(779 - 16, L'x');
    ASSERT_EQ(779u, fits.size());
    AgentReportsOnFirstWait(0, 0);
    LumoAgentApp tool;
    EXPECT_EQ(0, tool.LumoAgentAct(fits.c_str()));
    EXPECT_TRUE(sim.WaitForLog("cmdline=<" + ToUtf8(fits) + ">"));

    std::wstring tooLong = fits + L"y";
    LumoAgentApp tool2;
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, tool2.LumoAgentAct(tooLong.c_str()));
    EXPECT_EQ(10, tool2.m_nExitCode);
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, tool2.m_nExtInfo);
    Sleep(200);
    EXPECT_EQ(std::string::npos, sim.Log().find("xxxy")) << "sent anyway";
}

TEST(AgentLaunch, AgentWithoutChannelStillRaisesTheEvent)
{
    TraceCapture capture;
    ReportingAgent agent(9, 0);
    agent.WriteExitString(); // neither pipe nor event
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] pipe open error["));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] event open error["));

    GpKernelHandle event(CreateEventW(nullptr, FALSE, FALSE, RESULT_EVENT_NAME));
    agent.WriteExitString(); // event only
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0));
}

// Whatever holds the channel's names before the tool, the tool ends before any agent is asked for.
TEST(AgentLaunch, ChannelHeldByAnotherProcessIsRefusedBeforeAnyAgent)
{
    enum Holder
    {
        ListeningPipe, // a server instance waiting for the agent's report
        BusyPipe,      // an instance with a client on it
        Event,         // the event, to wake the tool at will
    };
    struct Case
    {
        Holder holder;
        int extInfo;
        const wchar_t* trace;
    } cases[] = {
        {ListeningPipe, ERROR_ACCESS_DENIED, L"[LumoAgentApp::LumoAgentAct] パイプの作成に失敗しました｛"},
        {BusyPipe, ERROR_ACCESS_DENIED, L"[LumoAgentApp::LumoAgentAct] パイプの作成に失敗しました｛"},
        {Event, ERROR_ALREADY_EXISTS, L"[LumoAgentApp::LumoAgentAct] イベントハンドルの作成に失敗しました｛"},
    };
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    // A tool that went on anyway fails at once instead of waiting ten minutes.
    GpSeam().WaitForObjectFn = [](HANDLE, DWORD) { return static_cast<DWORD>(WAIT_TIMEOUT); };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.holder);
        GpFile squatter, client;
        GpKernelHandle event;
        if (c.holder == Event)
            event.Reset(CreateEventW(nullptr, FALSE, FALSE, RESULT_EVENT_NAME));
        else
            squatter.Reset(CreateNamedPipeW(RESULT_PIPE_NAME, PIPE_ACCESS_DUPLEX, 0, 2, 0, 0, 0, nullptr));
        if (c.holder == BusyPipe)
            client.Reset(CreateFileW(RESULT_PIPE_NAME, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(event || squatter);
        ASSERT_TRUE(c.holder != BusyPipe || client);
        TraceCapture capture;
        CommandLineApp tool(L"/sp");
        EXPECT_EQ(c.extInfo, tool.LumoAgentAct(L"x /Agent /n"));
        EXPECT_EQ(10, tool.m_nExitCode);
        EXPECT_EQ(c.extInfo, tool.m_nExtInfo);
        EXPECT_TRUE(capture.WaitFor(c.trace));
        EXPECT_EQ(
            c.holder != Event,
            capture.Contains(
                L"[LumoAgentApp::LumoAgentAct] ！パイプは既に存在します\u3000<\\\\.\\pipe\\nlxKVUpdate>"));
    }
    Sleep(200);
    EXPECT_EQ(std::string::npos, sim.Log().find("cmd=11 ")) << sim.Log();
}

// The tool's instance takes no second server, so nobody can stand in for it once it exists.
TEST(AgentLaunch, NoSecondServerBesideTheTool)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    DWORD dwErr = 0;
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD ms) {
        GpFile second(CreateNamedPipeW(RESULT_PIPE_NAME, PIPE_ACCESS_DUPLEX, 0, 2, 520, 520, 0, nullptr));
        dwErr = second ? 0 : GetLastError();
        ReportingAgent().WriteExitString();
        return WaitForSingleObject(h, ms);
    };
    CommandLineApp tool(L"/sp");
    EXPECT_EQ(0, tool.LumoAgentAct(L"x /Agent /n"));
    EXPECT_NE(0u, dwErr) << "a second server instance was created";
}

// Only the process the service started may report: anyone else's report is turned away, and the
// tool waits on for its own agent.
TEST(AgentLaunch, ReportFromAnotherProcessIsNotBelieved)
{
    ServiceSimProcess sim;
    // The service names a process other than this one as the agent it started.
    DWORD dwOther = GetCurrentProcessId() + 4;
    ASSERT_TRUE(sim.Start(L"/exec=pid:" + std::to_wstring(dwOther)));
    int waits = 0;
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD) {
        if (waits++ == 0)
        {
            ReportingAgent().WriteExitString(); // "SUCCESS", from a stranger
            return WaitForSingleObject(h, 1000);
        }
        return static_cast<DWORD>(WAIT_TIMEOUT);
    };
    TraceCapture capture;
    CommandLineApp tool(L"/sp");
    EXPECT_EQ(ERROR_TIMEOUT, tool.LumoAgentAct(L"x /Agent /n"));
    EXPECT_EQ(10, tool.m_nExitCode);
    EXPECT_EQ(ERROR_TIMEOUT, tool.m_nExtInfo);
    EXPECT_EQ(600, waits);
    EXPECT_TRUE(capture.WaitFor(
        L"[LumoAgentApp::LumoAgentAct] ！接続元は起動した LumoAgent ではありません\u3000pid=" +
        std::to_wstring(GetCurrentProcessId()) + L" agent=" + std::to_wstring(dwOther)));
    EXPECT_FALSE(capture.Contains(L"LumoAgent 正常終了"));
}

// Wine does not enforce how a client opens a pipe: the flags are checked where they are asked for.
TEST(AgentLaunch, AgentOpensTheChannelAtIdentificationLevel)
{
    std::vector<std::pair<std::wstring, DWORD>> opens;
    GpSeam().OpenPipeClientFn = [&](const wchar_t* name, DWORD access, DWORD flags) {
        opens.emplace_back(name, flags);
        return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    };
    GpKernelHandle event(CreateEventW(nullptr, FALSE, FALSE, RESULT_EVENT_NAME));
    GpFile pipe(CreateNamedPipeW(RESULT_PIPE_NAME, PIPE_ACCESS_DUPLEX, 0, 1, 520, 520, 0, nullptr));
    ASSERT_TRUE(pipe.IsValid());
    ReportingAgent().WriteExitString();
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ(RESULT_PIPE_NAME, opens[0].first);
    DWORD flags = opens[0].second;
    EXPECT_NE(0u, flags & SECURITY_SQOS_PRESENT);
    EXPECT_EQ(static_cast<DWORD>(SECURITY_IDENTIFICATION),
              flags & (SECURITY_DELEGATION | SECURITY_CONTEXT_TRACKING));
    wchar_t text[16] = {};
    DWORD cb = 0;
    EXPECT_TRUE(ReadFile(pipe.Get(), text, sizeof(text) - sizeof(wchar_t), &cb, nullptr));
    EXPECT_EQ(std::wstring(L"SUCCESS"), text);
}
