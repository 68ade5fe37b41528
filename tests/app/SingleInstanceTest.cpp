// The agent's single-instance guard and its start-up signal, with real LumoAgent.exe processes.
#include <gtest/gtest.h>

#include <string>

#include "common/GpHandles.h"
#include "common/GpMutex.h"
#include "common/GpResult.h"
#include "tests/support/ServiceDouble.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
constexpr int kEventOpenFailed = -147; // GpEvent::Open: no such event

std::wstring AgentCommand(const std::wstring& args)
{
    return Quote(BinPath(L"LumoAgent.exe")) + L" " + args;
}

bool HasRecord(const TraceCapture& cap, DWORD pid, const std::wstring& text)
{
    for (const auto& r : cap.RecordsOf(pid))
        if (r.message.find(text) != std::wstring::npos)
            return true;
    return false;
}
} // namespace

TEST(SingleInstance, TwoAgentsStartedTogetherExactlyOneWins)
{
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / L"QVClient_v1.zip", "PK"));
    // The winner waits on a service that takes its call and answers nothing until released.
    ServiceDouble service{ServiceDouble::HoldFirstCall{}};
    ASSERT_TRUE(service.IsValid());
    TraceCapture cap(L"QVS-Debug");

    ChildProcess a, b;
    std::wstring cmd = AgentCommand(L"/Agent /sn /p=\"QVClient_v1.zip\"");
    ASSERT_TRUE(a.Start(cmd, dir.Path()));
    ASSERT_TRUE(b.Start(cmd, dir.Path()));

    // The winner holds the guard while it waits on the service; the loser ends at once.
    HANDLE both[2] = {a.Handle(), b.Handle()};
    DWORD first = WaitForMultipleObjects(2, both, FALSE, 30000);
    ASSERT_LT(first, 2u);
    ChildProcess& loser = (first == 0) ? a : b;
    ChildProcess& winner = (first == 0) ? b : a;
    EXPECT_TRUE(service.WaitConnected(30000));
    service.Release();
    DWORD loserCode = 0, winnerCode = 0;
    ASSERT_TRUE(loser.Wait(0, &loserCode));
    ASSERT_TRUE(winner.Wait(30000, &winnerCode));

    EXPECT_EQ(1u, loserCode);
    EXPECT_NE(1u, winnerCode);
    ASSERT_TRUE(cap.WaitFor(L"[LumoAgentApp::IsDuplicate] 既に起動しています。"));
    EXPECT_TRUE(HasRecord(cap, loser.Pid(), L"[LumoAgentApp::IsDuplicate] 既に起動しています。"));
    EXPECT_FALSE(HasRecord(cap, winner.Pid(), L"既に起動しています。"));
    // The loser stops before patch discovery; the winner went through it.
    EXPECT_FALSE(HasRecord(cap, loser.Pid(), L"[LumoAgentApp::GetPatchPath]"));
    EXPECT_TRUE(
        HasRecord(cap, winner.Pid(), L"[LumoAgentApp::GetPatchPath] /PatchPath Param [QVClient_v1.zip]"));
}

TEST(SingleInstance, ToolModeNeverTouchesTheGuardOrTheSignal)
{
    GpMutex guard; // as if an agent were running
    ASSERT_EQ(ERROR_OK, guard.Create(L"LumoAgent"));
    GpKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, L"Global\\LumoAgent12445.Event"));
    ASSERT_NE(nullptr, event.Get());
    TempDir dir;
    ProcessResult r = RunProcess(AgentCommand(L"/sn /sig=100 /p=\"nothere.zip\""), 30000, dir.Path());
    ASSERT_TRUE(r.started);
    EXPECT_EQ(3u, r.exitCode); // got as far as patch discovery
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event.Get(), 0));
}

struct SigCase
{
    const char* name;
    std::wstring sig;
    int eventNumber;
};

void PrintTo(const SigCase& c, std::ostream* os)
{
    *os << c.name;
}

class SignalEvent : public ::testing::TestWithParam<SigCase>
{
};

TEST_P(SignalEvent, IsRaisedAfterTheGuardIsWon)
{
    const SigCase& c = GetParam();
    std::wstring eventName = L"Global\\LumoAgent" + std::to_wstring(c.eventNumber) + L".Event";
    GpKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_NE(nullptr, event.Get());
    TempDir dir;
    TraceCapture cap(L"QVS-Debug");
    ProcessResult r =
        RunProcess(AgentCommand(L"/Agent /sn " + c.sig + L" /p=\"nothere.zip\""), 30000, dir.Path());
    ASSERT_TRUE(r.started);
    EXPECT_EQ(3u, r.exitCode);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0)) << lumotest::ToUtf8(eventName);
    EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::IsDuplicate] sig-raise rc=1."));
}

INSTANTIATE_TEST_SUITE_P(
    Values, SignalEvent,
    ::testing::Values(SigCase{"Plain", L"/sig=100", 12445}, SigCase{"WithRunMode", L"/sig=100 /sp", 12445},
                      SigCase{"StopsAtBlank", L"/sig=100 /CheckLog", 12445},
                      SigCase{"LeadingQuote", L"/sig=\"7\"", 12345},
                      SigCase{"QuoteAfterDigits", L"/sig=42\"9", 12387}, SigCase{"NoDigits", L"/sig=", 12345},
                      SigCase{"LongerThanTheBuffer", L"/sig=5" + std::wstring(400, L'x'), 12350}),
    [](const ::testing::TestParamInfo<SigCase>& info) { return std::string(info.param.name); });

TEST(SingleInstance, MissingSignalEventIsOnlyAWarning)
{
    TempDir dir;
    TraceCapture cap(L"QVS-Debug");
    ProcessResult r = RunProcess(AgentCommand(L"/Agent /sn /sig=100 /p=\"nothere.zip\""), 30000, dir.Path());
    ASSERT_TRUE(r.started);
    EXPECT_EQ(3u, r.exitCode); // went on to patch discovery
    EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::IsDuplicate] Event(LumoAgent12445)作成エラー rc=" +
                            std::to_wstring(kEventOpenFailed) + L"."));
    EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::GetPatchPath] /PatchPath Param [nothere.zip]"));
}
