// Client logout coordination: the main client window stand-in (QvClientSim.exe) and a service
// answering on the command pipe.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "common/ServiceProtocol.h"
#include "tests/support/ClientWindowProcess.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/SimDesktop.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
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
