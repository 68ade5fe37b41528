// The tool road end to end: LumoAgent.exe in tool mode stages itself, the service stand-in starts
// the staged agent, and the outcome travels back over the result channel.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/ClientContract.h"
#include "common/GpHandles.h"
#include "tests/e2e/ClientMachine.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
// A machine with an installed client and a patch carrying the sample installer.
class LaunchE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_patch = m_machine.BuildPatch({});
        ASSERT_FALSE(m_patch.empty());
        m_patchName = m_patch.substr(m_patch.find_last_of(L'\\') + 1);
    }

    std::wstring ToolCommand(const std::wstring& mode) const { return m_machine.ToolCommand(m_patch, mode); }
    std::wstring Stage() const { return m_machine.StagingDir(); }
    const std::wstring& Root() const { return m_machine.Root(); }

    ClientMachine m_machine;
    std::wstring m_patch, m_patchName;
};

// Plays the agent's side of the result channel from outside: what is written, and whether the
// pipe is opened at all.
void ReportAsAgent(const std::wstring& text, bool openPipe)
{
    if (openPipe)
    {
        GpFile pipe(CreateFileW(RESULT_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr));
        ASSERT_TRUE(pipe.IsValid());
        DWORD cb;
        WriteFile(pipe.Get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &cb, nullptr);
    }
    GpKernelHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, RESULT_EVENT_NAME));
    ASSERT_TRUE(event.IsValid());
    SetEvent(event.Get());
}
size_t CountOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; p++)
        n++;
    return n;
}
} // namespace

TEST_F(LaunchE2E, StagedAgentReportsSuccessAndTheStagingFolderGoes)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=1"));
    TraceCapture capture(L"QVS-Debug");
    ProcessResult r = RunProcess(ToolCommand(L"/sp"), 120000, Root());
    ASSERT_TRUE(r.started);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(0u, r.exitCode) << sim.Log();
    EXPECT_FALSE(FileExists(Stage()));
    // The service was asked to start the staged copy, and it did.
    std::string expected = "cmdline=<" + ToUtf8(Stage()) + "\\LumoAgent.exe /Agent /sp /p=\"" +
                           ToUtf8(Stage()) + "\\" + ToUtf8(m_patchName) + "\"> started=";
    EXPECT_NE(std::string::npos, sim.Log().find(expected)) << sim.Log();
    EXPECT_EQ(std::string::npos, sim.Log().find("started=0 ")) << sim.Log();
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] Exit String[SUCCESS]"));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] LumoAgent 正常終了"));
}

TEST_F(LaunchE2E, StagedAgentFailureBecomesTheToolsExitCode)
{
    // An older client whose module stays logged in cannot be updated silently: the agent stops
    // with 6 and the tool ends with it.
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=0x81"));
    TraceCapture capture(L"QVS-Debug");
    ProcessResult r = RunProcess(ToolCommand(L"/sn"), 120000, Root());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(6u, r.exitCode) << sim.Log();
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] Exit String[FAILED /ExitCode=6 /ExtInfo="));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] LumoAgent Err[6], ["));
    EXPECT_TRUE(FileExists(Stage() + L"\\LumoAgent.exe"));
}

TEST_F(LaunchE2E, WithoutServiceTheToolEndsWithTenAndKeepsItsStaging)
{
    TraceCapture capture(L"QVS-Debug");
    ProcessResult r = RunProcess(ToolCommand(L"/sp"), 60000, Root());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(10u, r.exitCode);
    ASSERT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] ！SendCommEx<STC_BASECMD_SYSEXEC>, code=0."));
    // The extended information 2 is the error the service call reported.
    EXPECT_TRUE(capture.Contains(L"(2:0x00000002)"));
    EXPECT_TRUE(FileExists(Stage() + L"\\LumoAgent.exe"));
    EXPECT_EQ(ReadFileBytes(m_patch), ReadFileBytes(Stage() + L"\\" + m_patchName));
}

TEST_F(LaunchE2E, ReportsFromTheAgentSide)
{
    struct Case
    {
        std::wstring report;
        bool openPipe;
        DWORD exitCode;
        bool stagingGone;
    } cases[] = {
        {L"FAILED /ExitCode=7 /ExtInfo=18", true, 7, false},
        {L"SUCCESS", true, 0, true},
        {L"SUCCESS!", true, 10, false},
        {std::wstring(256, L'A'), true, 10, false}, // fills the whole read buffer
        {L"FAILED /ExitCode=7", true, 10, false},
        {L"", false, 10, false}, // the agent found no pipe but raised the event
    };
    // The service starts nothing and names this test as the agent: the test reports in its place.
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/exec=pid:" + std::to_wstring(GetCurrentProcessId())));
    int requests = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ToUtf8(c.report.substr(0, 40)));
        ChildProcess tool;
        ASSERT_TRUE(tool.Start(ToolCommand(L"/sn"), Root()));
        ++requests;
        // The request reaches the service only once the channel exists.
        std::string log;
        for (int i = 0; i < 400; i++)
        {
            log = sim.Log();
            size_t n = 0;
            for (size_t p = 0; (p = log.find("cmd=11 ", p)) != std::string::npos; p++)
                n++;
            if (static_cast<int>(n) >= requests)
                break;
            Sleep(50);
        }
        ReportAsAgent(c.report, c.openPipe);
        DWORD code = 0;
        ASSERT_TRUE(tool.Wait(60000, &code));
        EXPECT_EQ(c.exitCode, code);
        EXPECT_EQ(c.stagingGone, !FileExists(Stage()));
        RemoveTree(Stage());
    }
}

// A process that made the result pipe before the tool would receive the agent's report: the tool
// ends with the pipe-creation failure and asks for no agent.
TEST_F(LaunchE2E, PipeMadeBeforeTheToolStopsItBeforeAnyAgent)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=1"));
    GpFile squatter(CreateNamedPipeW(RESULT_PIPE_NAME, PIPE_ACCESS_DUPLEX, 0, 2, 0, 0, 0, nullptr));
    ASSERT_TRUE(squatter.IsValid());
    TraceCapture capture(L"QVS-Debug");
    ProcessResult r = RunProcess(ToolCommand(L"/sn"), 60000, Root());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(10u, r.exitCode);
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] ！パイプは既に存在します"));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] パイプの作成に失敗しました｛"));
    EXPECT_EQ(std::string::npos, sim.Log().find("cmd=11 ")) << sim.Log();
}

// A server that never reads (no buffer, no read) holds the agent's report for at most its bound:
// the agent still sets the event and ends, giving up the machine-wide mutex.
TEST_F(LaunchE2E, AgentEndsAgainstAServerThatNeverReads)
{
    GpFile squatter(CreateNamedPipeW(RESULT_PIPE_NAME, PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr));
    ASSERT_TRUE(squatter.IsValid());
    GpKernelHandle event(CreateEventW(nullptr, FALSE, FALSE, RESULT_EVENT_NAME));
    TraceCapture capture(L"QVS-Debug");
    // No patch in its folder: the agent stops with 3 and reports.
    ChildProcess agent;
    ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(agent.Start(Quote(BinPath(L"LumoAgent.exe")) + L" /Agent /sn", Root()));
    DWORD code = 0;
    ASSERT_TRUE(agent.Wait(40000, &code)) << "the agent never ended";
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(3u, code);
    EXPECT_LT(elapsed, 30000u);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] ！WriteFile Exit String\u3000｛"));
    GpKernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\LumoAgent.Mutex"));
    EXPECT_TRUE(!mutex || WaitForSingleObject(mutex.Get(), 0) != WAIT_TIMEOUT);
}

// A client that connects to the tool's instance first and never writes is turned away: the agent
// the service started gets in and the tool ends with its outcome.
TEST_F(LaunchE2E, ClientThatConnectsAndNeverWritesIsTurnedAway)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=0x81")); // the agent stops with 6
    TraceCapture capture(L"QVS-Debug");
    std::atomic<bool> stop{false};
    std::atomic<bool> connected{false};
    std::thread squatter([&] {
        GpFile client;
        while (!stop && !client)
        {
            client.Reset(CreateFileW(RESULT_PIPE_NAME, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!client)
                Sleep(5);
        }
        connected = client.IsValid();
        while (!stop)
            Sleep(50);
    });
    ProcessResult r = RunProcess(ToolCommand(L"/sn"), 120000, Root());
    stop = true;
    squatter.join();
    ASSERT_FALSE(r.timedOut);
    EXPECT_TRUE(connected);
    EXPECT_EQ(6u, r.exitCode) << sim.Log();
    EXPECT_TRUE(capture.WaitFor(
        L"[LumoAgentApp::LumoAgentAct] ！接続元は起動した LumoAgent ではありません\u3000pid=" +
        std::to_wstring(GetCurrentProcessId()) + L" agent="));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] LumoAgent Err[6], ["));
}

// Two tools started a moment apart: each ends with its own agent's outcome or refuses before an
// agent is asked for; the installer runs once per successful agent, and the staging folder of
// the first is never taken by the second.
TEST_F(LaunchE2E, TwoToolsAMomentApart)
{
    std::wstring runLog = Root() + L"\\installer-runs.log";
    ClientMachine::Patch patchDesc;
    patchDesc.installerRunLog = runLog;
    patchDesc.installerDelayMs = 1000;
    std::wstring patch = m_machine.BuildPatch(patchDesc);
    ASSERT_FALSE(patch.empty());
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=1"));
    TraceCapture capture(L"QVS-Debug");
    ChildProcess first, second;
    ASSERT_TRUE(first.Start(m_machine.ToolCommand(patch, L"/sn"), Root()));
    Sleep(300);
    ASSERT_TRUE(second.Start(m_machine.ToolCommand(patch, L"/sn"), Root()));
    DWORD codes[2] = {99, 99};
    ASSERT_TRUE(first.Wait(120000, &codes[0]));
    ASSERT_TRUE(second.Wait(120000, &codes[1]));
    int successes = 0, refusals = 0;
    for (DWORD code : codes)
    {
        successes += code == 0;
        refusals += code == 10;
    }
    EXPECT_EQ(2, successes + refusals) << codes[0] << " " << codes[1];
    EXPECT_GE(successes, 1);
    std::string log = sim.Log();
    EXPECT_EQ(static_cast<size_t>(successes), CountOf(log, "cmd=11 ")) << log;
    EXPECT_EQ(static_cast<size_t>(successes), CountOf(ReadFileBytes(runLog), "end pid="))
        << ReadFileBytes(runLog);
    if (refusals > 0)
    {
        EXPECT_TRUE(capture.Contains(L"[LumoAgentApp::LumoAgentAct] パイプの作成に失敗しました｛") ||
                    capture.Contains(L"[LumoAgentApp::UserProgress] Temp Folder CreateError["));
        EXPECT_TRUE(capture.Contains(L"[LumoAgentApp::UserProgress] Temp Folder InUse[" + Stage() + L"]"));
    }
    EXPECT_FALSE(capture.Contains(L"Temp Folder Exist[" + Stage() + L"]"));
    EXPECT_EQ("new client", ReadFileBytes(m_machine.InstallDir() + L"\\bin\\client.dll"));
}
