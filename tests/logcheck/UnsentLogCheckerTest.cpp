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
} // namespace
