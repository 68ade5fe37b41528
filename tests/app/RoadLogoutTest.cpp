// Client logout coordination and the agent's update driver: the main client window stand-in
// (QvClientSim.exe), a service answering on the command pipe, and the test prefix's registry.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/LumoAgentApp.h"
#include "common/ClientContract.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "common/ServiceProtocol.h"
#include "tests/support/ClientWindowProcess.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UninstallEntry.h"
#include "tests/support/TraceCapture.h"
#include "tools/PatchBuilder/PatchBuild.h"

using namespace lumotest;

namespace
{
// The window stand-in and the agents it talks to run on a desktop of this test program's own:
// under Wine without a display that desktop is brought up with the null graphics driver by the
// stand-in, while message boxes elsewhere keep failing at once as every other test expects.
GpDesktop g_simDesktop;

// A fresh desktop for each test: one on which a window search failed before the stand-in
// brought it up stays without windows for the rest of the process.
void NewSimDesktop()
{
    static int s_count = 0;
    std::wstring name =
        L"LumoSim" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++s_count);
    g_simDesktop.Reset(CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr));
}

HDESK SimDesktop()
{
    if (!g_simDesktop)
        NewSimDesktop();
    return g_simDesktop.Get();
}

std::wstring SimDesktopName()
{
    wchar_t name[256] = L"";
    DWORD cb = 0;
    GetUserObjectInformationW(SimDesktop(), UOI_NAME, name, sizeof(name) - sizeof(wchar_t), &cb);
    return std::wstring(L"WinSta0\\") + name;
}

// Runs an agent on the test's desktop and answers its exit code (259 when it did not end).
DWORD RunAgentOnSimDesktop(const std::wstring& args, const std::wstring& currentDir)
{
    ChildProcess agent;
    if (!agent.Start(Quote(BinPath(L"LumoAgent.exe")) + L" " + args, currentDir, SimDesktopName()))
        return 0xFFFFFFFF;
    DWORD code = STILL_ACTIVE;
    if (!agent.Wait(30000, &code))
        agent.Terminate(); // ends it with STILL_ACTIVE
    return code;
}

// Runs fn on a thread of the test's desktop, where FindWindow looks.
template <typename Fn> void OnSimDesktop(Fn fn)
{
    std::thread t([&] {
        SetThreadDesktop(SimDesktop());
        fn();
    });
    t.join();
}

// The main client window stand-in on the test's desktop, running until the test ends.
class ClientWindow : public ClientWindowProcess
{
public:
    bool Start(const std::wstring& args) { return ClientWindowProcess::Start(args, SimDesktopName()); }
};

enum class Window
{
    None,
    Present
};

struct LogoutCase
{
    const char* name;
    const wchar_t* serviceArgs;
    const wchar_t* mode;
    Window window;
    const wchar_t* windowArgs;
    int boxAnswer; // 0: no box expected
    BOOL ok;
    int exitCode;
    int extInfo; // -1: not checked
    std::vector<int> wParams;
    bool forcedLogout;
};

void PrintTo(const LogoutCase& c, std::ostream* os)
{
    *os << c.name;
}

class NLXLogout : public ::testing::TestWithParam<LogoutCase>
{
};

} // namespace

TEST_P(NLXLogout, Table)
{
    NewSimDesktop();
    const LogoutCase& c = GetParam();
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(c.serviceArgs));
    ClientWindow window;
    if (c.window == Window::Present)
    {
        ASSERT_TRUE(window.Start(c.windowArgs));
    }
    int boxes = 0;
    GpSeam().MessageBoxFn = [&](HWND, const wchar_t* text, const wchar_t* caption, UINT type) {
        boxes++;
        EXPECT_EQ(std::wstring(L"Quovera Client アップデートツール"), caption);
        EXPECT_NE(nullptr, wcsstr(text, L"NLXの機能を利用中のためアップデートできません。"));
        EXPECT_EQ(static_cast<UINT>(MB_RETRYCANCEL | MB_ICONINFORMATION), type);
        return c.boxAnswer;
    };

    LumoAgentApp app;
    std::wstring cmd = std::wstring(L"/Agent ") + c.mode + L" /p=\"x.zip\"";
    app.m_lpCmdLine = cmd.c_str();
    app.SetRunMode();
    BOOL ok = 0;
    OnSimDesktop([&] { ok = app.NLXLogout(); });
    EXPECT_EQ(c.ok, ok);
    EXPECT_EQ(c.exitCode, app.m_nExitCode);
    if (c.extInfo >= 0)
    {
        EXPECT_EQ(c.extInfo, app.m_nExtInfo);
    }
    EXPECT_EQ(c.boxAnswer != 0 ? 1 : 0, boxes);
    if (c.window == Window::Present)
    {
        EXPECT_EQ(c.wParams, window.WParams());
    }
    EXPECT_EQ(c.forcedLogout, service.Received(STC_MIR_LOGOUT));
}

INSTANTIATE_TEST_SUITE_P(Cases, NLXLogout,
                         ::testing::Values(LogoutCase{"V660UsesTheWindow",
                                                      L"/version=6.60.0.0 /login=0",
                                                      L"/sn",
                                                      Window::Present,
                                                      L"",
                                                      0,
                                                      1,
                                                      0,
                                                      0,
                                                      {0},
                                                      false},
                                           LogoutCase{"V7UsesTheWindow",
                                                      L"/version=7.0.0.0 /login=0",
                                                      L"/sn",
                                                      Window::Present,
                                                      L"",
                                                      0,
                                                      1,
                                                      0,
                                                      0,
                                                      {0},
                                                      false},
                                           LogoutCase{"V659AsksTheStatus",
                                                      L"/version=6.59.99.9 /login=1",
                                                      L"/sn",
                                                      Window::Present,
                                                      L"",
                                                      0,
                                                      1,
                                                      0,
                                                      0,
                                                      {},
                                                      false},
                                           LogoutCase{"V599Status0x80",
                                                      L"/version=5.99.0.0 /login=0x80",
                                                      L"/sn",
                                                      Window::Present,
                                                      L"",
                                                      0,
                                                      1,
                                                      0,
                                                      0,
                                                      {},
                                                      false},
                                           LogoutCase{"Status0x81IsNotLoggedOut",
                                                      L"/version=6.59.0.0 /login=0x81",
                                                      L"/sn",
                                                      Window::None,
                                                      L"",
                                                      0,
                                                      0,
                                                      6,
                                                      0,
                                                      {},
                                                      false},
                                           LogoutCase{"FailedVersionQueryFallsBack",
                                                      L"/status:version=50 /login=1",
                                                      L"/sn",
                                                      Window::Present,
                                                      L"",
                                                      0,
                                                      1,
                                                      0,
                                                      0,
                                                      {},
                                                      false},
                                           LogoutCase{"OldVersionForced",
                                                      L"/version=6.59.0.0 /login=0",
                                                      L"/sf",
                                                      Window::None,
                                                      L"",
                                                      0,
                                                      1,
                                                      0,
                                                      0,
                                                      {},
                                                      true},
                                           LogoutCase{"ForceWithoutWindowGoesOn",
                                                      L"/version=6.60.0.0 /login=0",
                                                      L"/sf",
                                                      Window::None,
                                                      L"",
                                                      0,
                                                      1,
                                                      0,
                                                      0,
                                                      {},
                                                      false},
                                           LogoutCase{"NoWindowWithoutForce",
                                                      L"/version=6.60.0.0 /login=0",
                                                      L"/sn",
                                                      Window::None,
                                                      L"",
                                                      0,
                                                      0,
                                                      5,
                                                      -1,
                                                      {},
                                                      false},
                                           LogoutCase{"ForceFlagInWParam",
                                                      L"/version=6.60.0.0 /login=0",
                                                      L"/sf",
                                                      Window::Present,
                                                      L"",
                                                      0,
                                                      1,
                                                      0,
                                                      0,
                                                      {1},
                                                      false},
                                           LogoutCase{"SilentRefusal",
                                                      L"/version=6.60.0.0 /login=0",
                                                      L"/sn",
                                                      Window::Present,
                                                      L"/answer=1234",
                                                      0,
                                                      0,
                                                      5,
                                                      1234,
                                                      {0},
                                                      false},
                                           LogoutCase{"RetryCancelled",
                                                      L"/version=6.60.0.0 /login=0",
                                                      L"/sp",
                                                      Window::Present,
                                                      L"/answer=7",
                                                      IDCANCEL,
                                                      0,
                                                      5,
                                                      1223,
                                                      {0},
                                                      false},
                                           LogoutCase{"RetryAccepted",
                                                      L"/version=6.60.0.0 /login=0",
                                                      L"/sp",
                                                      Window::Present,
                                                      L"/first=7 /answer=0",
                                                      IDRETRY,
                                                      1,
                                                      0,
                                                      0,
                                                      {0, 0},
                                                      false},
                                           LogoutCase{"RetryRefusedAgain",
                                                      L"/version=6.60.0.0 /login=0",
                                                      L"",
                                                      Window::Present,
                                                      L"/first=8 /answer=9",
                                                      IDRETRY,
                                                      0,
                                                      5,
                                                      9,
                                                      {0, 0},
                                                      false}),
                         [](const ::testing::TestParamInfo<LogoutCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(NLXLogoutAgent, SilentRefusalEndsWithTheWindowsAnswer)
{
    NewSimDesktop();
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(L"/version=6.60.0.0 /login=0"));
    ClientWindow window;
    ASSERT_TRUE(window.Start(L"/answer=4321"));
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"QVClient_v1.zip", "PK"));
    TraceCapture cap(L"QVS-Debug");
    EXPECT_EQ(5u, RunAgentOnSimDesktop(L"/Agent /sn /p=\"QVClient_v1.zip\"", dir.Path()));
    EXPECT_EQ(std::vector<int>{0}, window.WParams());
    EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::NLXLogout] RX_MSG_TOOL_UPDATE ログアウトエラー ret[4321]"));
}

// The logout request is bounded: a window that keeps it past the bound (hung, or anyone's window
// under the client's class name) ends the run with 5 and the Windows error; a slow one that answers
// within the bound is waited for. Under Wine a hung window still answers, so the stand-in blocks in
// its handler and the bound is shortened.
namespace
{
struct LogoutBoundCase
{
    const char* name;
    const wchar_t* windowArgs;
    UINT boundMs;
    BOOL ok;
    int exitCode;
    int extInfo;
    long long maxMs; // the call returns well before the window would have answered
};

void PrintTo(const LogoutBoundCase& c, std::ostream* os)
{
    *os << c.name;
}

class NLXLogoutBound : public ::testing::TestWithParam<LogoutBoundCase>
{
};
} // namespace

TEST_P(NLXLogoutBound, WindowThatKeepsTheRequest)
{
    NewSimDesktop();
    const LogoutBoundCase& c = GetParam();
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(L"/version=6.60.0.0 /login=0"));
    ClientWindow window;
    ASSERT_TRUE(window.Start(c.windowArgs));
    std::vector<UINT> bounds;
    GpSeam().MessageTimeoutFn = [&](UINT ms) {
        bounds.push_back(ms);
        return c.boundMs;
    };
    TraceCapture trace;
    LumoAgentApp app;
    app.m_lpCmdLine = L"/Agent /sn /p=\"x.zip\"";
    app.SetRunMode();
    BOOL ok = 0;
    auto t0 = std::chrono::steady_clock::now();
    OnSimDesktop([&] { ok = app.NLXLogout(); });
    long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    GpSeam().MessageTimeoutFn = nullptr;
    EXPECT_EQ(c.ok, ok);
    EXPECT_EQ(c.exitCode, app.m_nExitCode);
    EXPECT_EQ(c.extInfo, app.m_nExtInfo);
    EXPECT_LT(ms, c.maxMs);
    // One request, with the production bound handed to the seam.
    EXPECT_EQ(std::vector<UINT>{60000}, bounds);
    EXPECT_EQ(std::vector<int>{0}, window.WParams());
    EXPECT_EQ(c.ok == 0,
              trace.Contains(L"[LumoAgentApp::NLXLogout] ！SendMessageTimeout(RX_MSG_TOOL_UPDATE) "));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NLXLogoutBound,
    ::testing::Values(LogoutBoundCase{"BlocksPastTheBound", L"/delay=2500", 300, 0, 5, ERROR_TIMEOUT, 2000},
                      LogoutBoundCase{"SlowWithinTheBound", L"/delay=700", 5000, 1, 0, 0, 4000}),
    [](const ::testing::TestParamInfo<LogoutBoundCase>& info) { return std::string(info.param.name); });

// The client's Uninstall entries, written into the prefix's registry and removed again.
namespace
{
const wchar_t* const kKey32 = CLIENT_PRODUCT_KEY_32;
const wchar_t* const kKey64 = CLIENT_PRODUCT_KEY_64;

// An agent application object ready for the driver: a patch in a source folder.
struct DriverFixture
{
    TempDir install;
    TempDir source;
    LumoAgentApp app;
    std::wstring cmd;
    explicit DriverFixture(const wchar_t* args = L"/Agent /sn") : cmd(args)
    {
        WriteFileBytes(source / L"QVClient_v1.zip", "PK patch");
        app.m_lpCmdLine = cmd.c_str();
        app.SetRunMode();
        lstrcpyW(app.m_szPatchPath, (source / L"QVClient_v1.zip").c_str());
        lstrcpyW(app.m_szPatchName, L"QVClient_v1.zip");
    }
    std::wstring InstallDir() const { return install.Path() + L"\\"; }
};
} // namespace

TEST(GetInstallDir, OnlyThe64BitKeyGivesOneWarningAndGoesOn)
{
    DriverFixture f;
    UninstallEntry entry(kKey64, f.InstallDir());
    ASSERT_TRUE(entry.Ok());
    TraceCapture cap;
    wchar_t out[LUMO_PATH_CCH];
    EXPECT_TRUE(f.app.GetInstallDir(out));
    EXPECT_EQ(f.InstallDir(), std::wstring(out));
    ASSERT_TRUE(cap.WaitFor(L"[LumoAgentApp::GetInstallDir] 64bit mode."));
    EXPECT_EQ(1u, cap.Messages(L"[LumoAgentApp::GetInstallDir] RegOpenKeyEx(32bit) Err[").size());
    EXPECT_TRUE(cap.Messages(L"RegOpenKeyEx(64bit)").empty());
}

TEST(GetInstallDir, FailuresEndWithTen)
{
    struct Case
    {
        const wchar_t* key;
        std::wstring value;
        int extInfo;
    };
    const Case cases[] = {
        {nullptr, L"", ERROR_FILE_NOT_FOUND},               // neither product key
        {kKey32, L"", ERROR_PATH_NOT_FOUND},                // empty InstallLocation
        {kKey32, std::wstring(300, L'a'), ERROR_MORE_DATA}, // more than the 522-byte buffer
        {kKey32, std::wstring(260, L'b'),
         ERROR_FILENAME_EXCED_RANGE}, // fits the read, not the caller's buffer
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(&c - cases));
        DriverFixture f;
        std::unique_ptr<UninstallEntry> entry;
        if (c.key != nullptr)
        {
            entry = std::make_unique<UninstallEntry>(c.key, c.value);
            ASSERT_TRUE(entry->Ok());
        }
        wchar_t out[LUMO_PATH_CCH + 1];
        out[LUMO_PATH_CCH] = L'#';
        EXPECT_FALSE(f.app.GetInstallDir(out));
        EXPECT_EQ(10, f.app.m_nExitCode);
        EXPECT_EQ(c.extInfo, f.app.m_nExtInfo);
        EXPECT_EQ(L'#', out[LUMO_PATH_CCH]);
    }
}

TEST(AgentProgress, SilentModesRegisterTheWindowClassFirst)
{
    // No product key: the road stops in GetInstallDir, after the registration.
    for (const wchar_t* mode : {L"/n", L"/sp", L"/sn", L"/sf"})
    {
        DriverFixture f((std::wstring(L"/Agent ") + mode).c_str());
        UnregisterClassW(L"LumoAgentAppClass", f.app.m_hInstance);
        EXPECT_FALSE(f.app.AgentProgress());
        EXPECT_EQ(10, f.app.m_nExitCode);
        WNDCLASSW wc;
        bool silent = !f.app.m_bMsgBox;
        EXPECT_EQ(silent, GetClassInfoW(f.app.m_hInstance, L"LumoAgentAppClass", &wc) != FALSE)
            << ToUtf8(mode);
    }
}

TEST(AgentProgress, MissingLumoFolderGivesTenAndThree)
{
    DriverFixture f;
    UninstallEntry entry(kKey32, f.InstallDir());
    ASSERT_TRUE(entry.Ok());
    EXPECT_FALSE(f.app.AgentProgress());
    EXPECT_EQ(10, f.app.m_nExitCode);
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, f.app.m_nExtInfo);
}

TEST(AgentProgress, ExistingUpdateFolderIsReplaced)
{
    // Moved to old_patch and deleted there; or, when old_patch is in the way, deleted in place
    // followed by a pause of one second.
    for (bool oldPatchInTheWay : {false, true})
    {
        DriverFixture f;
        UninstallEntry entry(kKey32, f.InstallDir());
        ASSERT_TRUE(entry.Ok());
        std::wstring lumo = f.install / L"Lumo";
        std::wstring update = lumo + L"\\QuoveraClient";
        ASSERT_TRUE(CreateDirectoryW(lumo.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(update.c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(update + L"\\stale.txt", "old"));
        ASSERT_TRUE(WriteFileBytes(update + L"\\QVClient_v1.zip", "old copy"));
        if (oldPatchInTheWay)
        {
            ASSERT_TRUE(CreateDirectoryW((lumo + L"\\old_patch").c_str(), nullptr));
            ASSERT_TRUE(WriteFileBytes(lumo + L"\\old_patch\\keep.txt", "x"));
        }
        std::vector<DWORD> pauses;
        GpSeam().SleepFn = [&](DWORD ms) { pauses.push_back(ms); };
        TraceCapture cap;

        f.app.AgentProgress();
        EXPECT_FALSE(FileExists(update + L"\\stale.txt")) << oldPatchInTheWay;
        EXPECT_EQ("PK patch", ReadFileBytes(update + L"\\QVClient_v1.zip")) << oldPatchInTheWay;
        EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::AgentProgress] Lumo Update Folder Exist[" + update + L"]"));
        if (oldPatchInTheWay)
        {
            EXPECT_EQ(std::vector<DWORD>{1000}, pauses);
            EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::AgentProgress] ！MoveFileEx("));
        }
        else
        {
            EXPECT_TRUE(pauses.empty());
            EXPECT_FALSE(FileExists(lumo + L"\\old_patch"));
        }
        GpSeam().SleepFn = nullptr;
    }
}

// An old_patch folder left by an agent stopped while it deleted it goes with the next run, with or
// without an update folder beside it.
TEST(AgentProgress, LeftOldPatchFolderGoes)
{
    for (bool withUpdateFolder : {false, true})
    {
        DriverFixture f;
        UninstallEntry entry(kKey32, f.InstallDir());
        ASSERT_TRUE(entry.Ok());
        std::wstring lumo = f.install / L"Lumo";
        std::wstring old = lumo + L"\\old_patch";
        ASSERT_TRUE(CreateDirectoryW(lumo.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(old.c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(old + L"\\QVClient_v0.zip", "left"));
        if (withUpdateFolder)
        {
            ASSERT_TRUE(CreateDirectoryW((lumo + L"\\QuoveraClient").c_str(), nullptr));
        }
        GpSeam().SleepFn = [](DWORD) {};
        TraceCapture cap;
        f.app.AgentProgress();
        EXPECT_FALSE(FileExists(old)) << withUpdateFolder;
        EXPECT_EQ("PK patch", ReadFileBytes(lumo + L"\\QuoveraClient\\QVClient_v1.zip")) << withUpdateFolder;
        EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::AgentProgress] Lumo Old Patch Folder Exist[" +
                                f.InstallDir() + L"\\Lumo\\old_patch]"));
        GpSeam().SleepFn = nullptr;
    }
}

TEST(AgentProgress, RealAgentCopiesThePatchIntoAFreshUpdateFolder)
{
    NewSimDesktop();
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(L"/version=6.60.0.0 /login=0"));
    ClientWindow window;
    ASSERT_TRUE(window.Start(L""));
    DriverFixture f;
    UninstallEntry entry(kKey64, f.InstallDir());
    ASSERT_TRUE(entry.Ok());
    ASSERT_TRUE(CreateDirectoryW((f.install / L"Lumo").c_str(), nullptr));
    TraceCapture cap(L"QVS-Debug");
    RunAgentOnSimDesktop(L"/Agent /sf /p=\"QVClient_v1.zip\"", f.source.Path());
    EXPECT_EQ(std::vector<int>{1}, window.WParams());
    EXPECT_EQ("PK patch", ReadFileBytes(f.install / L"Lumo\\QuoveraClient\\QVClient_v1.zip"));
    EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::AgentProgress] Copy [QVClient_v1.zip] → [" + f.InstallDir() +
                            L"Lumo\\QuoveraClient\\QVClient_v1.zip]"));
}

// After the copy: expansion, installer, status record, settings and restart, in that order.
TEST(AgentProgress, RoadTailAfterTheCopy)
{
    struct Case
    {
        const char* name;
        int installerExit;
        BOOL ok;
        int exitCode;
        int extInfo;
        int restarts;
    };
    const Case cases[] = {
        {"InstallerFails", 50, FALSE, 9, 50, 0}, // status 103, no settings, no restart
        {"RestartFails", 37, TRUE, 0, 0, 1},     // a failed restart leaves a success
    };
    for (const Case& c : cases)
    {
        DriverFixture f;
        UninstallEntry entry(kKey32, f.InstallDir());
        ASSERT_TRUE(entry.Ok());
        ASSERT_TRUE(CreateDirectoryW((f.install / L"Lumo").c_str(), nullptr));
        TempDir src;
        ASSERT_TRUE(CopyFileW(BinPath(L"PatchMain.exe").c_str(), (src / L"PatchMain.exe").c_str(), FALSE));
        ASSERT_TRUE(CreateDirectoryW((src / L"payload").c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(src / L"payload\\new.txt", "new"));
        ASSERT_TRUE(WriteFileBytes(src / L"PatchMain.ini",
                                   "[PatchMain]\r\nExitCode=" + std::to_string(c.installerExit) + "\r\n"));
        PatchBuildOptions options;
        options.sourceDir = src.Path();
        options.outDir = f.source.Path();
        options.pid = L"QVC-TAIL";
        options.version = L"6.70.0.1";
        options.rangeBegin = L"6.60.0.0";
        options.rangeEnd = L"6.69.9.9";
        std::wstring patch;
        ASSERT_TRUE(BuildPatch(options, patch));
        lstrcpyW(f.app.m_szPatchPath, patch.c_str());
        lstrcpyW(f.app.m_szPatchName, L"QVClient_v6.70.0.1.zip");

        int restarts = 0;
        GpSeam().ExitWindowsFn = [&](UINT, DWORD) {
            restarts++;
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        };
        TraceCapture cap;
        EXPECT_EQ(c.ok, f.app.AgentProgress()) << c.name;
        EXPECT_EQ(c.exitCode, f.app.m_nExitCode) << c.name;
        EXPECT_EQ(c.extInfo, f.app.m_nExtInfo) << c.name;
        EXPECT_EQ(c.restarts, restarts) << c.name;
        if (c.installerExit != 37)
        {
            EXPECT_TRUE(cap.WaitFor(L"status[103]")) << c.name;
        }
        GpSeam().ExitWindowsFn = nullptr;
    }
}
