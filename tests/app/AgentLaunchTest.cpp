// Agent launch, result channel and tool-mode staging, in-process against the service stand-in
// QvServiceSim.exe; the agent's side is played by a second application object.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/LumoAgentApp.h"
#include "common/ClientContract.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/TempRedirect.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
// Plays the agent from inside the tool's first wait: reports with the given outcome pair.
void AgentReportsOnFirstWait(int nExitCode, int nExtInfo)
{
    GpSeam().WaitForObjectFn = [nExitCode, nExtInfo](HANDLE h, DWORD ms) {
        LumoAgentApp agent;
        agent.m_bAgent = 1;
        agent.m_nExitCode = nExitCode;
        agent.m_nExtInfo = nExtInfo;
        agent.WriteExitString();
        return WaitForSingleObject(h, ms);
    };
}

// The user's temporary folder of the test: a fresh folder whose path holds a blank.
class StagingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_temp = m_root / L"user temp";
        CreateDirectoryW(m_temp.c_str(), nullptr);
        m_tempRedirect = std::make_unique<TempRedirect>(m_temp);
        m_patch = m_root / L"QVClient_v1.2.3.zip";
        WriteFileBytes(m_patch, "patch bytes");
        wcscpy(m_app.m_szPatchPath, m_patch.c_str());
        wcscpy(m_app.m_szPatchName, L"QVClient_v1.2.3.zip");
    }
    void TearDown() override { m_tempRedirect.reset(); }
    std::wstring Stage(int n) const { return m_temp + L"\\LumoTool" + std::to_wstring(n); }

    TempDir m_root;
    std::wstring m_temp, m_patch;
    std::unique_ptr<TempRedirect> m_tempRedirect;
    LumoAgentApp m_app;
};
} // namespace

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
    ASSERT_TRUE(sim.Start(L"/exec=off"));
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
        "/p=\"C:\\t\\p.zip\"> started=0 -> status=37";
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
    ASSERT_TRUE(sim.Start(L"/exec=off"));
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
    ASSERT_TRUE(sim.Start(L"/exec=off"));
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
    LumoAgentApp agent;
    agent.m_bAgent = 1;
    agent.m_nExitCode = 9;
    agent.WriteExitString(); // neither pipe nor event
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] pipe open error["));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] event open error["));

    GpKernelHandle event(CreateEventW(nullptr, FALSE, FALSE, RESULT_EVENT_NAME));
    agent.WriteExitString(); // event only
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0));
}

TEST_F(StagingTest, LeftoverFirstFolderIsDeletedAndTheSecondUsed)
{
    CreateDirectoryW(Stage(1).c_str(), nullptr);
    WriteFileBytes(Stage(1) + L"\\old.txt", "old");
    TraceCapture capture;
    m_app.m_bCheckLog = 1;
    m_app.m_bLeaveCache = 1;
    m_app.m_bConfirm = 0;
    // No service: the road stops at the launch and the staging folder stays.
    EXPECT_EQ(0, m_app.UserProgress());
    EXPECT_EQ(10, m_app.m_nExitCode);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_app.m_nExtInfo);
    EXPECT_FALSE(FileExists(Stage(1)));
    EXPECT_EQ("patch bytes", ReadFileBytes(Stage(2) + L"\\QVClient_v1.2.3.zip"));
    EXPECT_EQ(ReadFileBytes(BinPath(L"test_road_agentlaunch.exe")), ReadFileBytes(Stage(2) + L"\\LumoAgent.exe"));
    std::wstring cmd = Stage(2) + L"\\LumoAgent.exe /Agent /n /CheckLog /LeaveCache /p=\"" + Stage(2) +
                       L"\\QVClient_v1.2.3.zip\"";
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::UserProgress] Lumo Act Cmdline[" + cmd + L"]"));
    EXPECT_TRUE(capture.Contains(L"[LumoAgentApp::UserProgress] Temp Folder Exist[" + Stage(1) + L"]"));
}

TEST_F(StagingTest, StagingFolderChoice)
{
    struct Case
    {
        std::vector<int> present;
        int used; // 0: none, the run stops with 10/183
        bool holdFirst;
    } cases[] = {
        {{2}, 1, false}, // a leftover LumoTool2 alone is not touched
        {{1, 2}, 3, false},
        {{1, 2, 3}, 1, false}, // all three deleted, the first one reused
        {{1, 2, 3}, 0, true},  // the first cannot go
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.present.size() * 10 + c.used);
        for (int n : c.present)
        {
            CreateDirectoryW(Stage(n).c_str(), nullptr);
            WriteFileBytes(Stage(n) + L"\\mark.txt", "m");
        }
        GpFile held;
        if (c.holdFirst)
            held.Reset(CreateFileW((Stage(1) + L"\\mark.txt").c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        LumoAgentApp app;
        wcscpy(app.m_szPatchPath, m_patch.c_str());
        wcscpy(app.m_szPatchName, L"QVClient_v1.2.3.zip");
        app.m_bConfirm = 0;
        EXPECT_EQ(0, app.UserProgress());
        EXPECT_EQ(10, app.m_nExitCode);
        if (c.used == 0)
        {
            EXPECT_EQ(ERROR_ALREADY_EXISTS, app.m_nExtInfo);
        }
        else
        {
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, app.m_nExtInfo); // stopped at the launch: no service
            EXPECT_TRUE(FileExists(Stage(c.used) + L"\\LumoAgent.exe"));
            EXPECT_FALSE(FileExists(Stage(c.used) + L"\\mark.txt"));
        }
        EXPECT_TRUE(c.present != std::vector<int>{2} || FileExists(Stage(2) + L"\\mark.txt"));
        held.Reset();
        for (int n = 1; n <= 3; n++)
            RemoveTree(Stage(n));
    }
}

TEST_F(StagingTest, ConfirmationNamesThePatchAndCanBeDeclined)
{
    struct Case
    {
        int answer;
        BOOL goesOn;
    } cases[] = {{IDCANCEL, 0}, {0, 0}, {IDOK, 1}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.answer);
        std::wstring text, caption;
        UINT type = 0;
        GpSeam().MessageBoxFn = [&](HWND, const wchar_t* t, const wchar_t* cap, UINT u) {
            text = t;
            caption = cap;
            type = u;
            return c.answer;
        };
        LumoAgentApp app;
        wcscpy(app.m_szPatchName, L"QVClient_v1.2.3.zip");
        EXPECT_EQ(c.goesOn, app.IsUpdateConfirm());
        EXPECT_EQ(L"Patch:QVClient_v1.2.3.zip\r\nアップデートを実行しますか？\r\n"
                  L"アップデート完了後にコンピューターは再起動します。\r\n"
                  L"アップデートを実行する際は作業中のプログラムを終了してください。",
                  text);
        EXPECT_EQ(L"Quovera Client アップデートツール", caption);
        EXPECT_EQ(0x41u, type);
        EXPECT_EQ(c.goesOn ? 0 : 4, app.m_nExitCode);
        EXPECT_EQ(c.goesOn ? 0 : 1223, app.m_nExtInfo);
    }
    // Declined: nothing is staged.
    GpSeam().MessageBoxFn = [](HWND, const wchar_t*, const wchar_t*, UINT) { return IDCANCEL; };
    EXPECT_EQ(0, m_app.UserProgress());
    EXPECT_FALSE(FileExists(Stage(1)));
    // Silent modes never ask.
    int asked = 0;
    GpSeam().MessageBoxFn = [&](HWND, const wchar_t*, const wchar_t*, UINT) { return ++asked, IDCANCEL; };
    LumoAgentApp silent;
    silent.m_bConfirm = 0;
    EXPECT_EQ(1, silent.IsUpdateConfirm());
    EXPECT_EQ(0, asked);
}

TEST_F(StagingTest, StagingFolderGoesAfterSuccessOnly)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/exec=off"));
    m_app.m_bConfirm = 0;
    wcscpy(m_app.m_szMode, L"/sp");
    AgentReportsOnFirstWait(7, 18);
    EXPECT_EQ(0, m_app.UserProgress());
    EXPECT_EQ(7, m_app.m_nExitCode);
    EXPECT_EQ(18, m_app.m_nExtInfo);
    EXPECT_TRUE(FileExists(Stage(1) + L"\\LumoAgent.exe"));

    LumoAgentApp app;
    wcscpy(app.m_szPatchPath, m_patch.c_str());
    wcscpy(app.m_szPatchName, L"QVClient_v1.2.3.zip");
    app.m_bConfirm = 0;
    AgentReportsOnFirstWait(0, 0);
    EXPECT_EQ(1, app.UserProgress());
    // LumoTool1 was left by the failed run and deleted; LumoTool2 served and went too.
    EXPECT_FALSE(FileExists(Stage(1)));
    EXPECT_FALSE(FileExists(Stage(2)));
    EXPECT_TRUE(sim.WaitForLog("cmdline=<" + ToUtf8(Stage(2)) + "\\LumoAgent.exe /Agent /n /p=\""));
}

TEST_F(StagingTest, StagingFolderStillInUseAfterSuccessIsDeletedOnceReleased)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/exec=off"));
    m_app.m_bConfirm = 0;
    // The agent reports while its copy of the program is still open; it lets go a few pauses later.
    GpFile held;
    bool wasHeld = false;
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD ms) {
        held.Reset(CreateFileW((Stage(1) + L"\\LumoAgent.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr));
        wasHeld = held.IsValid();
        LumoAgentApp agent;
        agent.m_bAgent = 1;
        agent.WriteExitString();
        return WaitForSingleObject(h, ms);
    };
    int pauses = 0;
    GpSeam().SleepFn = [&](DWORD ms) {
        EXPECT_EQ(500u, ms);
        if (++pauses == 3)
            held.Reset();
    };
    EXPECT_EQ(1, m_app.UserProgress());
    EXPECT_EQ(0, m_app.m_nExitCode);
    EXPECT_TRUE(wasHeld);
    EXPECT_EQ(3, pauses);
    EXPECT_FALSE(FileExists(Stage(1)));
}
