// The tool road end to end: LumoAgent.exe in tool mode stages itself, the service stand-in starts
// the staged agent, and the outcome travels back over the result channel.
#include <gtest/gtest.h>

#include <string>
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
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/exec=off"));
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
