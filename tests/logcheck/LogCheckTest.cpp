// The agent step, run in-process: the seam shortens the worker's 15 s pause (and lets the test
// play the log sender during it) and the agent's 250 ms poll.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "tests/logcheck/LogFolders.h"
#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "logcheck/UnsentLogChecker.h"
#include "tests/support/HostLink.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

namespace
{
const wchar_t* const kTry = L"[UnsentLogChecker::CheckLog] try=";
const wchar_t* const kDone = L"[UnsentLogChecker::CheckLog] ログ送信完了!!";
const wchar_t* const kInvoke = L"[UnsentLogChecker::GetUnsentLogCount] InvokeLogSend=<";
const wchar_t* const kFailed = L"[LumoAgentApp::LogCheck] 未送信ログの確認中にエラー発生 dw=<";

struct Agent : LumoAgentApp
{
    explicit Agent(const wchar_t* cmdLine)
    {
        m_lpCmdLine = cmdLine;
        SetRunMode();
    }
};

// What the worker's passes looked like, read back from its trace lines.
struct Passes
{
    int count = 0;             // passes made
    std::vector<int> triggers; // 1-based passes that created the trigger file
};

Passes ReadPasses(const lumotest::TraceCapture& trace)
{
    Passes p;
    for (const auto& m : trace.Messages(L"[UnsentLogChecker::"))
    {
        if (m.find(kInvoke) != std::wstring::npos)
            p.triggers.push_back(p.count + 1);
        else if (m.find(kTry) != std::wstring::npos || m.find(kDone) != std::wstring::npos)
            p.count++;
    }
    return p;
}

struct Scenario
{
    const char* name;
    int initial;                                        // pending logs at the start
    std::function<void(int pause, LogFolders&)> sender; // runs in the worker's pause after pass n
    bool ok;
    int passes;
    std::vector<int> triggers;
    DWORD workerResult; // for the failure line; 0 when the step succeeds
};

const Scenario kScenarios[] = {
    // Nobody sends: nudged on the second pass and every tenth, gives up after 31 still passes.
    {"ConstantCount", 5, [](int, LogFolders&) {}, false, 32, {2, 12, 22, 32}, 159},
    {"FallingByOnePerPass", 5, [](int, LogFolders& l) { l.RemoveLogs(1); }, true, 6, {}, 0},
    // New logs keep coming for longer than the patience lasts: still progress.
    {"RisingCountIsProgress",
     1,
     [](int n, LogFolders& l) {
         if (n <= 40)
             l.AddLogs(1);
         else
             l.RemoveLogs(-1);
     },
     true,
     42,
     {},
     0},
    // One log goes on the 31st still pass, just in time; the patience starts again.
    {"ChangeOnTheLastPassResetsPatience",
     2,
     [](int n, LogFolders& l) {
         if (n == 31)
             l.RemoveLogs(1);
         if (n == 62)
             l.RemoveLogs(-1);
     },
     true,
     63,
     {2, 12, 22, 33, 43, 53},
     0},
};

void PrintTo(const Scenario& c, std::ostream* os)
{
    *os << c.name;
}

class LogCheckScenario : public ::testing::TestWithParam<Scenario>
{
};

TEST_P(LogCheckScenario, EndsAsTheSenderBehaves)
{
    const Scenario& sc = GetParam();
    LogFolders logs;
    logs.AddLogs(sc.initial);
    lumotest::TraceCapture trace;
    std::atomic<int> pauses{0};
    GpSeam().SleepFn = [&](DWORD ms) {
        if (ms == UnsentLogChecker::PASS_PAUSE_MS)
            sc.sender(++pauses, logs);
        else
            Sleep(1);
    };

    Agent app(L"/Agent /sn /CheckLog /p=\"C:\\QVClient_v1.zip\"");
    ASSERT_TRUE(app.m_bCheckLog);
    EXPECT_EQ(sc.ok, app.LogCheck() != 0);
    ASSERT_TRUE(trace.WaitFor(L"[UnsentLogChecker::IsComplete] ExitThread"));

    Passes p = ReadPasses(trace);
    EXPECT_EQ(sc.passes, p.count);
    EXPECT_EQ(sc.triggers, p.triggers);
    EXPECT_FALSE(trace.Contains(L"!CreateFile"));
    EXPECT_FALSE(lumotest::FileExists(logs.Trigger()));
    if (sc.ok)
    {
        EXPECT_EQ(0, app.m_nExitCode);
        EXPECT_EQ(0, app.m_nExtInfo);
        EXPECT_EQ(0, logs.CountLogs());
        EXPECT_FALSE(trace.Contains(kFailed));
    }
    else
    {
        EXPECT_EQ(7, app.m_nExitCode);
        EXPECT_EQ(18, app.m_nExtInfo);
        EXPECT_TRUE(
            trace.Contains(L"[UnsentLogChecker::CheckLog] ログが全然送れていないので処理中止. <5>==<5>"));
        EXPECT_TRUE(trace.WaitFor(kFailed + std::to_wstring(sc.workerResult) + L">"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LogCheckScenario, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// The agent road with a "Wake.up" planted as a link to a file the user cannot write: the run ends
// by itself (nobody is nudged, so no progress) and the file keeps its bytes.
TEST(LogCheck, PlantedTriggerLinkEndsWithoutTouchingItsTarget)
{
    if (!lumotest::HostAvailable())
        GTEST_SKIP() << "needs Wine's host entries to make a link";
    LogFolders logs;
    logs.AddLogs(5);
    lumotest::TempDir elsewhere;
    const std::string bytes = "system file\r\n";
    ASSERT_TRUE(lumotest::WriteFileBytes(elsewhere / L"victim.dat", bytes));
    ASSERT_TRUE(lumotest::MakeHostLink(logs.Trigger(), elsewhere / L"victim.dat"));
    lumotest::TraceCapture trace;
    GpSeam().SleepFn = [](DWORD) { Sleep(1); };

    Agent app(L"/Agent /sn /CheckLog /p=\"C:\\QVClient_v1.zip\"");
    EXPECT_FALSE(app.LogCheck());
    EXPECT_EQ(7, app.m_nExitCode);
    EXPECT_EQ(18, app.m_nExtInfo);
    EXPECT_EQ(bytes, lumotest::ReadFileBytes(elsewhere / L"victim.dat"));
    EXPECT_EQ(5, logs.CountLogs());
    ASSERT_TRUE(trace.WaitFor(L"[UnsentLogChecker::IsComplete] ExitThread"));
    EXPECT_EQ((std::vector<int>{2, 12, 22, 32}), ReadPasses(trace).triggers);
    EXPECT_EQ(4u, trace.Messages(L"！既存のトリガーがあるため今回は作りません").size());
    EXPECT_TRUE(lumotest::HostShell(logs.Folder(0), "rm Wake.up"));
}

// A log folder an administrator moved elsewhere with a link still holds pending logs: the step waits
// for them to be sent instead of reporting them sent.
TEST(LogCheck, RedirectedLogFolderIsWaitedFor)
{
    if (!lumotest::HostAvailable())
        GTEST_SKIP() << "needs Wine's host entries to make a link";
    LogFolders logs;
    lumotest::TempDir moved;
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(lumotest::WriteFileBytes(moved / (L"m" + std::to_wstring(i) + L".log"), "pending"));
    logs.AddLogs(1); // makes the logs folder and ModuleALog
    ASSERT_TRUE(lumotest::MakeHostLink(logs.Folder(1), moved.Path()));
    ASSERT_EQ(4, logs.CountLogs());
    lumotest::TraceCapture trace;
    GpSeam().SleepFn = [&](DWORD ms) {
        if (ms == UnsentLogChecker::PASS_PAUSE_MS)
            logs.RemoveLogs(1);
        else
            Sleep(1);
    };

    Agent app(L"/Agent /sn /CheckLog /p=\"C:\\QVClient_v1.zip\"");
    EXPECT_TRUE(app.LogCheck());
    EXPECT_EQ(0, app.m_nExitCode);
    ASSERT_TRUE(trace.WaitFor(L"[UnsentLogChecker::IsComplete] ExitThread"));
    EXPECT_EQ(5, ReadPasses(trace).count); // 4, 3, 2, 1, then 0
    EXPECT_EQ(0, logs.CountLogs());
    EXPECT_FALSE(lumotest::FileExists(moved / L"m2.log"));
    EXPECT_TRUE(lumotest::HostShell(logs.LogsDir(), "rm ModuleBLog"));
}

TEST(LogCheck, NoFoldersSucceedsAtTheFirstPoll)
{
    LogFolders logs;
    lumotest::TraceCapture trace;
    std::atomic<int> polls{0};
    GpSeam().SleepFn = [&](DWORD ms) {
        EXPECT_EQ(250u, ms);
        polls++;
        Sleep(ms);
    };
    Agent app(L"/Agent /sn /CheckLog");
    EXPECT_TRUE(app.LogCheck());
    EXPECT_EQ(1, polls);
    EXPECT_EQ(0, app.m_nExitCode);
    EXPECT_TRUE(trace.WaitFor(kDone));
    EXPECT_FALSE(logs.AnyFolderExists());
}

TEST(LogCheck, WithoutCheckLogNothingStarts)
{
    LogFolders logs;
    logs.AddLogs(5);
    lumotest::TraceCapture trace;
    int pauses = 0;
    GpSeam().SleepFn = [&](DWORD) { pauses++; };
    Agent app(L"/Agent /sn /p=\"C:\\QVClient_v1.zip\"");
    EXPECT_TRUE(app.LogCheck());
    EXPECT_EQ(0, pauses);
    EXPECT_EQ(0, app.m_nExitCode);
    Sleep(100);
    EXPECT_TRUE(trace.Messages(L"[UnsentLogChecker::").empty());
    EXPECT_EQ(5, logs.CountLogs());
}

// Three hours of polls pass while the worker sits in a pause: the step fails with 259, and the
// worker is told to stop and waited for before its checker is freed.
TEST(LogCheck, WorkerStillRunningAfterThreeHours)
{
    LogFolders logs;
    logs.AddLogs(2);
    lumotest::TraceCapture trace;
    GpKernelHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(release.IsValid());
    std::atomic<int> polls{0};
    std::atomic<int> pauses{0};
    std::atomic<int> pollsAtRelease{-1};
    GpSeam().SleepFn = [&](DWORD ms) {
        if (ms == UnsentLogChecker::PASS_PAUSE_MS)
        {
            pauses++;
            WaitForSingleObject(release.Get(), 60000);
        }
        else
        {
            // The first poll waits until the worker is in its pause; the rest pass at once.
            while (polls == 0 && pauses == 0)
                Sleep(1);
            polls++;
        }
    };
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD ms) {
        pollsAtRelease = polls.load();
        SetEvent(release.Get());
        return WaitForSingleObject(h, ms);
    };

    Agent app(L"/Agent /sf /CheckLog");
    EXPECT_FALSE(app.LogCheck());
    EXPECT_EQ(43200, polls);
    EXPECT_EQ(43200, pollsAtRelease);
    EXPECT_EQ(1, pauses);
    EXPECT_EQ(7, app.m_nExitCode);
    EXPECT_EQ(18, app.m_nExtInfo);
    EXPECT_TRUE(trace.WaitFor(L"[UnsentLogChecker::StopAndWait] 終了 wait=0 dw=<37>"));
    EXPECT_TRUE(trace.WaitFor(std::wstring(kFailed) + L"259>"));
}
} // namespace
