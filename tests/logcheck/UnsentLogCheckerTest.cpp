#include <gtest/gtest.h>

#include <shlobj.h>

#include <atomic>
#include <memory>

#include "tests/logcheck/LogFolders.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "logcheck/QvcLogFolders.h"
#include "logcheck/UnsentLogChecker.h"
#include "tests/support/HostLink.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

namespace
{
// Waits for the worker like the agent does, without the 250 ms pauses.
DWORD WaitForResult(UnsentLogChecker& checker)
{
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(checker.ThreadHandle(), 30000));
    DWORD dw = 0;
    EXPECT_TRUE(checker.IsComplete(&dw));
    return dw;
}

TEST(UnsentLogChecker, StartPreparesFoldersAndRefusesASecondWorker)
{
    LogFolders logs;
    lumotest::TraceCapture trace;
    UnsentLogChecker checker;
    ASSERT_TRUE(checker.StartCheckThread());
    HANDLE hFirst = checker.ThreadHandle();
    ASSERT_NE(nullptr, hFirst);

    EXPECT_TRUE(checker.StartCheckThread());
    EXPECT_EQ(hFirst, checker.ThreadHandle());
    EXPECT_TRUE(trace.WaitFor(L"[UnsentLogChecker::StartCheckThread] スレッド実行中. m_hThread=0x"));

    wchar_t appData[MAX_PATH + 1];
    ASSERT_EQ(S_OK, SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData));
    EXPECT_EQ(std::wstring(appData) + L"\\TAVR\\QVC\\Logs\\", checker.m_strLogsDir.c_str());
    ASSERT_EQ(9, checker.m_folders.GetSize());
    const wchar_t* names[] = {L"ModuleALog", L"ModuleBLog", L"ModuleCLog", L"ModuleDLog", L"ModuleELog",
                              L"ModuleFLog", L"ModuleGLog", L"ModuleHLog", L"ModuleILog"};
    for (int i = 0; i < 9; i++)
        EXPECT_STREQ(names[i], checker.m_folders[i].c_str());

    // No folders at all: the first pass counts 0.
    EXPECT_EQ(static_cast<DWORD>(ERROR_OK), WaitForResult(checker));
    EXPECT_EQ(nullptr, checker.ThreadHandle());
    EXPECT_TRUE(trace.WaitFor(L"[UnsentLogChecker::CheckLog] ログ送信完了!!"));
    EXPECT_TRUE(trace.WaitFor(L"[UnsentLogChecker::IsComplete] ExitThread m_hThread=0x"));
    EXPECT_FALSE(logs.AnyFolderExists());
}

TEST(UnsentLogChecker, RunningWorkerIsStoppedAndWaitedForBeforeTheCheckerGoes)
{
    LogFolders logs;
    logs.AddLogs(3);
    lumotest::TraceCapture trace;
    GpKernelHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(release.IsValid());
    std::atomic<int> pauses{0};
    std::atomic<bool> stopSeenBeforeWait{false};
    // The seam reads the checker while it is being destroyed: through its own pointer, not the owner.
    std::unique_ptr<UnsentLogChecker> checker(new UnsentLogChecker);
    UnsentLogChecker* pChecker = checker.get();
    GpSeam().SleepFn = [&](DWORD ms) {
        if (ms == UnsentLogChecker::PASS_PAUSE_MS)
            pauses++;
        WaitForSingleObject(release.Get(), 30000);
    };
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD ms) {
        stopSeenBeforeWait = pChecker->m_bStop != 0;
        SetEvent(release.Get());
        return WaitForSingleObject(h, ms);
    };
    ASSERT_TRUE(pChecker->StartCheckThread());
    while (pauses == 0)
        Sleep(5);

    DWORD dw = 0;
    EXPECT_FALSE(pChecker->IsComplete(&dw));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), dw);

    checker.reset(); // must not return before the worker has ended
    EXPECT_TRUE(stopSeenBeforeWait);
    EXPECT_EQ(1, pauses);
    EXPECT_TRUE(trace.WaitFor(L"[UnsentLogChecker::StopAndWait] 終了 wait=0 dw=<37>"));
}

TEST(UnsentLogChecker, UnreadableExitCodeEndsTheWaitWithThatError)
{
    // Holds a handle that is not a thread: its exit code cannot be read.
    struct CheckerOnAnEvent : UnsentLogChecker
    {
        CheckerOnAnEvent() { m_hThread.Reset(CreateEventW(nullptr, TRUE, TRUE, nullptr)); }
    };
    lumotest::TraceCapture trace;
    CheckerOnAnEvent checker;
    DWORD dw = 0;
    EXPECT_TRUE(checker.IsComplete(&dw));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), dw);
    EXPECT_EQ(nullptr, checker.ThreadHandle());
    EXPECT_TRUE(trace.WaitFor(L"[UnsentLogChecker::IsComplete] ！GetExitCodeThread\u3000｛"));
}

TEST(UnsentLogChecker, TriggerThatCannotBeCreatedIsTracedAndCountingGoesOn)
{
    LogFolders logs;
    logs.AddLogs(1);
    lumotest::TraceCapture trace;
    UnsentLogChecker checker;
    GetQvcLogsDir(checker.m_strLogsDir);
    checker.m_folders.Add(QvcLogFolderName(0));
    // A folder where the trigger file should go blocks its creation.
    ASSERT_TRUE(CreateDirectoryW(logs.Trigger().c_str(), nullptr));

    EXPECT_EQ(1, checker.GetUnsentLogCount(0)); // first pass: no trigger
    EXPECT_EQ(1, checker.GetUnsentLogCount(0));
    EXPECT_TRUE(trace.WaitFor(L"[UnsentLogChecker::GetUnsentLogCount] !CreateFile\u3000｛"));
    EXPECT_TRUE(trace.Contains(L"path=<" + logs.Trigger() + L">"));
    EXPECT_EQ(1, checker.m_nLastCount);
}
// A "Wake.up" that is already there when the nudge is due: never opened through, so what a planted
// link names keeps its bytes. Under Wine a host link to a file cannot be told from a file, so every
// case there leaves the name alone and skips the nudge.
struct PlantedTrigger
{
    const char* name;
    bool folderTarget; // a link to a folder elsewhere; otherwise to a file
    bool link;         // false: a plain file left in the log folder
};

const PlantedTrigger kPlanted[] = {
    {"LinkToAFileElsewhere", false, true},
    {"LinkToAFolderElsewhere", true, true},
    {"StaleFileInTheLogFolder", false, false},
};

void PrintTo(const PlantedTrigger& c, std::ostream* os)
{
    *os << c.name;
}

class PlantedTriggerTest : public ::testing::TestWithParam<PlantedTrigger>
{
};

TEST_P(PlantedTriggerTest, IsNeverOpenedThrough)
{
    const PlantedTrigger& c = GetParam();
    if (c.link && !lumotest::HostAvailable())
        GTEST_SKIP() << "needs Wine's host entries to make a link";
    LogFolders logs;
    logs.AddLogs(1);
    lumotest::TempDir elsewhere;
    std::wstring victim = c.folderTarget ? elsewhere / L"keep.txt" : elsewhere / L"victim.dat";
    const std::string bytes = "precious bytes\r\n";
    ASSERT_TRUE(lumotest::WriteFileBytes(victim, bytes));
    if (!c.link)
        ASSERT_TRUE(lumotest::WriteFileBytes(logs.Trigger(), "stale"));
    else
        ASSERT_TRUE(lumotest::MakeHostLink(logs.Trigger(), c.folderTarget ? elsewhere.Path() : victim));

    lumotest::TraceCapture trace;
    UnsentLogChecker checker;
    GetQvcLogsDir(checker.m_strLogsDir);
    checker.m_folders.Add(QvcLogFolderName(0));
    EXPECT_EQ(1, checker.GetUnsentLogCount(0));
    EXPECT_EQ(1, checker.GetUnsentLogCount(0)); // the nudge is due
    EXPECT_EQ(1, checker.GetUnsentLogCount(10));

    EXPECT_EQ(bytes, lumotest::ReadFileBytes(victim));
    if (!c.link)
    {
        EXPECT_EQ("stale", lumotest::ReadFileBytes(logs.Trigger()));
    }
    EXPECT_EQ(
        2u,
        trace.Messages(L"[UnsentLogChecker::GetUnsentLogCount] ！既存のトリガーがあるため今回は作りません")
            .size());
    EXPECT_FALSE(trace.Contains(L"既存のトリガーを削除します"));
    if (c.link)
    {
        EXPECT_TRUE(lumotest::HostShell(logs.Folder(0), "rm Wake.up"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PlantedTriggerTest, ::testing::ValuesIn(kPlanted),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
