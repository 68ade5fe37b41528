// The agent step against the log sender stand-in, a process of its own that only learns of
// the check through "Wake.up". The worker's pause is shortened to 150 ms of real time.
#include <gtest/gtest.h>

#include "tests/logcheck/LogFolders.h"
#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "logcheck/UnsentLogChecker.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

namespace
{
struct SenderCase
{
    const char* name;
    const wchar_t* args;
    bool ok;
    int remaining;
    const wchar_t* firstTrigger; // the sender's line for its first trigger
};

const SenderCase kSenderCases[] = {
    {"AllAtOnce", L"", true, 0, L"[QvLogSenderSim] Wake.up #1: sent=5"},
    {"SlowSender", L" /perTrigger=2", true, 0, L"[QvLogSenderSim] Wake.up #1: sent=2"},
    {"DeadSender", L" /dead", false, 5, L"[QvLogSenderSim] Wake.up #1: sent=0"},
};

void PrintTo(const SenderCase& c, std::ostream* os)
{
    *os << c.name;
}

class LogSenderSim : public ::testing::TestWithParam<SenderCase>
{
};

TEST_P(LogSenderSim, AgentStepEndsAsTheSenderBehaves)
{
    const SenderCase& sc = GetParam();
    LogFolders logs;
    logs.AddLogs(5);
    lumotest::TraceCapture senderTrace(L"QVS-Debug");

    std::wstring readyName = L"LumoTest-LogSenderReady-" + std::to_wstring(GetCurrentProcessId());
    GpKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    ASSERT_TRUE(ready.IsValid());
    lumotest::ChildProcess sender;
    ASSERT_TRUE(sender.Start(lumotest::Quote(lumotest::BinPath(L"QvLogSenderSim.exe")) + sc.args +
                             L" /seconds=120 /ready=" + readyName));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.Get(), 20000));
    ready.Reset();

    GpSeam().SleepFn = [](DWORD ms) { Sleep(ms == UnsentLogChecker::PASS_PAUSE_MS ? 150 : 10); };
    LumoAgentApp app;
    app.m_lpCmdLine = L"/Agent /sn /CheckLog";
    app.SetRunMode();
    EXPECT_EQ(sc.ok, app.LogCheck() != 0);
    EXPECT_EQ(sc.ok ? 0 : 7, app.m_nExitCode);
    EXPECT_EQ(sc.ok ? 0 : 18, app.m_nExtInfo);
    EXPECT_EQ(sc.remaining, logs.CountLogs());
    EXPECT_TRUE(senderTrace.WaitFor(sc.firstTrigger));
    EXPECT_FALSE(lumotest::FileExists(logs.Trigger()));
    sender.Terminate();
}

INSTANTIATE_TEST_SUITE_P(Cases, LogSenderSim, ::testing::ValuesIn(kSenderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The stand-in never outlives a test run: it ends after its time, or with the process it serves.
TEST(LogSenderSimProgram, EndsByItself)
{
    LogFolders logs;
    std::wstring exe = lumotest::Quote(lumotest::BinPath(L"QvLogSenderSim.exe"));
    lumotest::ChildProcess timed;
    ASSERT_TRUE(timed.Start(exe + L" /seconds=1"));
    lumotest::ChildProcess follower;
    ASSERT_TRUE(follower.Start(exe + L" /seconds=60 /pid=" + std::to_wstring(timed.Pid())));
    DWORD code = 99;
    EXPECT_TRUE(timed.Wait(15000, &code));
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(follower.Wait(15000, &code));
    EXPECT_EQ(0u, code);
}

TEST(LogSenderSimProgram, RejectsABadLimit)
{
    auto r =
        lumotest::RunProcess(lumotest::Quote(lumotest::BinPath(L"QvLogSenderSim.exe")) + L" /perTrigger=0");
    ASSERT_TRUE(r.started);
    EXPECT_EQ(2u, r.exitCode);
}
} // namespace
