// Agent launch, result channel, tool-mode staging and where the outcome is stored, in-process
// against the service stand-in QvServiceSim.exe; the agent's side is played by a second application
// object.
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

// The service stand-in starts nothing and names this process as the agent it started: the agent
// played in process passes the tool's check of who reports.
std::wstring ExecAsThisProcess()
{
    return L"/exec=pid:" + std::to_wstring(GetCurrentProcessId());
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
    EXPECT_EQ(ReadFileBytes(BinPath(L"test_road_launch.exe")), ReadFileBytes(Stage(2) + L"\\LumoAgent.exe"));
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
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
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
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
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
        LumoAgentApp tool;
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
        LumoAgentApp agent;
        agent.m_bAgent = 1;
        agent.WriteExitString();
        return WaitForSingleObject(h, ms);
    };
    LumoAgentApp tool;
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
            LumoAgentApp stranger;
            stranger.m_bAgent = 1;
            stranger.WriteExitString(); // "SUCCESS"
            return WaitForSingleObject(h, 1000);
        }
        return static_cast<DWORD>(WAIT_TIMEOUT);
    };
    TraceCapture capture;
    LumoAgentApp tool;
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
    LumoAgentApp agent;
    agent.m_bAgent = 1;
    agent.WriteExitString();
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

// Another tool's staging folder is neither deleted nor reused; a folder nobody holds is a leftover,
// whatever lies in it.
TEST_F(StagingTest, StagingFolderOfAnotherToolIsLeftAlone)
{
    struct Case
    {
        const char* name;
        std::vector<int> present;
        bool holdFirst; // LumoTool1's lock file is held as a running tool holds it
        int used;
    } cases[] = {
        {"held first", {1}, true, 2},
        {"held first and leftover second", {1, 2}, true, 3},
        {"planted lock nobody holds", {1}, false, 2},
        {"held first among three", {1, 2, 3}, true, 0}, // 10/183, LumoTool1 untouched
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (int n : c.present)
        {
            CreateDirectoryW(Stage(n).c_str(), nullptr);
            WriteFileBytes(Stage(n) + L"\\LumoAgent.exe", "being copied");
        }
        WriteFileBytes(Stage(1) + L"\\LumoTool.lock", "");
        GpFile lock;
        if (c.holdFirst)
            lock.Reset(CreateFileW((Stage(1) + L"\\LumoTool.lock").c_str(),
                                   GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(!c.holdFirst || lock);
        TraceCapture capture;
        LumoAgentApp app;
        wcscpy(app.m_szPatchPath, m_patch.c_str());
        wcscpy(app.m_szPatchName, L"QVClient_v1.2.3.zip");
        app.m_bConfirm = 0;
        EXPECT_EQ(0, app.UserProgress()); // no service
        EXPECT_EQ(10, app.m_nExitCode);
        EXPECT_EQ(c.used == 0 ? ERROR_ALREADY_EXISTS : ERROR_FILE_NOT_FOUND, app.m_nExtInfo);
        EXPECT_EQ(c.holdFirst, ReadFileBytes(Stage(1) + L"\\LumoAgent.exe") == "being copied");
        EXPECT_EQ(c.holdFirst,
                  capture.Contains(L"[LumoAgentApp::UserProgress] Temp Folder InUse[" + Stage(1) + L"]"));
        if (c.used != 0)
        {
            EXPECT_EQ("patch bytes", ReadFileBytes(Stage(c.used) + L"\\QVClient_v1.2.3.zip"));
        }
        lock.Reset();
        for (int n = 1; n <= 3; n++)
            RemoveTree(Stage(n));
    }
}

// Neither copy replaces a file that is already at its target: here the patch's own name.
TEST_F(StagingTest, StagingCopiesNeverReplaceAFile)
{
    struct Case
    {
        const wchar_t* patchName;
        const wchar_t* trace;
    } cases[] = {
        {L"LumoAgent.exe",
         L"[LumoAgentApp::UserProgress] CopyFile err["}, // the program's copy meets the patch
        {L"LumoTool.lock",
         L"[LumoAgentApp::UserProgress] CopyFile err["}, // the patch meets the folder's lock
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ToUtf8(c.patchName));
        TraceCapture capture;
        LumoAgentApp app;
        wcscpy(app.m_szPatchPath, m_patch.c_str());
        wcscpy(app.m_szPatchName, c.patchName);
        app.m_bConfirm = 0;
        EXPECT_EQ(0, app.UserProgress());
        EXPECT_EQ(10, app.m_nExitCode);
        EXPECT_EQ(ERROR_FILE_EXISTS, app.m_nExtInfo);
        EXPECT_TRUE(capture.WaitFor(c.trace));
        if (wcscmp(c.patchName, L"LumoAgent.exe") == 0)
        {
            EXPECT_EQ("patch bytes", ReadFileBytes(Stage(1) + L"\\LumoAgent.exe"));
        }
        RemoveTree(Stage(1));
    }
}

// A second tool started while the first waits for its agent: it refuses before asking for an
// agent, and the first ends with its own agent's outcome in a folder nobody touched.
TEST_F(StagingTest, SecondToolWhileTheFirstWaitsRefusesAndLeavesTheFirstAlone)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    m_app.m_bConfirm = 0;
    int waits = 0;
    BOOL secondResult = -1;
    int secondExit = -1, secondExt = -1;
    std::string firstCopy;
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD ms) {
        if (waits++ == 0)
        {
            LumoAgentApp second;
            wcscpy(second.m_szPatchPath, m_patch.c_str());
            wcscpy(second.m_szPatchName, L"QVClient_v1.2.3.zip");
            second.m_bConfirm = 0;
            secondResult = second.UserProgress();
            secondExit = second.m_nExitCode;
            secondExt = second.m_nExtInfo;
            firstCopy = ReadFileBytes(Stage(1) + L"\\QVClient_v1.2.3.zip");
            LumoAgentApp agent;
            agent.m_bAgent = 1;
            agent.m_nExitCode = 7;
            agent.m_nExtInfo = 18;
            agent.WriteExitString();
        }
        return WaitForSingleObject(h, ms);
    };
    TraceCapture capture;
    EXPECT_EQ(0, m_app.UserProgress());
    EXPECT_EQ(7, m_app.m_nExitCode);
    EXPECT_EQ(18, m_app.m_nExtInfo);
    EXPECT_EQ(0, secondResult);
    EXPECT_EQ(10, secondExit);
    EXPECT_EQ(ERROR_ACCESS_DENIED, secondExt);
    EXPECT_EQ("patch bytes", firstCopy);
    EXPECT_TRUE(capture.Contains(L"[LumoAgentApp::UserProgress] Temp Folder InUse[" + Stage(1) + L"]"));
    EXPECT_TRUE(FileExists(Stage(2) + L"\\LumoAgent.exe")); // the second's own, left after its failure
    EXPECT_EQ(1u, [&] {
        std::string log = sim.Log();
        size_t n = 0;
        for (size_t p = 0; (p = log.find("cmd=11 ", p)) != std::string::npos; p++)
            n++;
        return n;
    }());
}

// The outcome is stored only where it is decided: a restart that cannot be started decides
// nothing (the update is complete), so the stored pair stays what it was.
TEST(ExitChannel, FailedRestartLeavesTheOutcomeAlone)
{
    GpSeam().ExitWindowsFn = [](UINT, DWORD) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    TraceCapture capture;
    LumoAgentApp agent;
    agent.m_bAgent = 1;
    agent.m_bMsgBox = 0; // "/sn": no question, the restart follows at once
    EXPECT_FALSE(agent.OsReboot());
    EXPECT_EQ(0, agent.m_nExitCode);
    EXPECT_EQ(0, agent.m_nExtInfo);
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::OsReboot] ExitWindowsEx()\u3000｛"));
}
