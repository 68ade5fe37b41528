#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpTrace.h"
#include "common/GpTraceInternal.h"
#include "tests/support/StallingListener.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
// Points the log at a folder of the test and restores the shared settings afterwards: every
// process of this executable shares them.
class TraceFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = g_gpTraceSettings;
        GpTraceControl(-3, 42, nullptr);
    }
    void TearDown() override { g_gpTraceSettings = m_saved; }

    // Generation k of the base "<dir>\t" for the current generation count.
    std::wstring LogFile(const std::wstring& suffix) const { return m_dir / (L"t" + suffix); }
    std::wstring Base() const { return m_dir / L"t.exe"; }

    std::wstring ReadLog(const std::wstring& suffix) const
    {
        std::string bytes = ReadFileBytes(LogFile(suffix));
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    }

    TempDir m_dir;
    GpTraceSettings m_saved;
};

std::wstring Banner()
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    return std::wstring(L"\xFEFF\r\n=====  Trace start!  by {") + exe + L"}  =====\r\n\r\n";
}

int CountLines(const std::wstring& text)
{
    int n = 0;
    for (size_t pos = 0; (pos = text.find(L"\r\n", pos)) != std::wstring::npos; pos += 2)
        n++;
    return n;
}
} // namespace

TEST(Trace, RecordReachesTheDebugPipeWithAllFields)
{
    TraceCapture capture;
    GPTRACE(TRACE_FATAL, L"[%s] ！probe\u3000%S %I64d", L"Probe::Run", "narrow", 1234567890123LL);
    ASSERT_TRUE(capture.WaitFor(L"probe"));
    DebugRecord r = capture.Records().at(0);
    EXPECT_EQ(L"test_common_trace.exe", r.program);
    EXPECT_EQ(GetCurrentProcessId(), r.pid);
    EXPECT_EQ(GetCurrentThreadId(), r.tid);
    EXPECT_NE(std::wstring::npos, r.source.find(L"TraceTest.cpp"));
    EXPECT_EQ(TRACE_FATAL, r.level);
    EXPECT_EQ(L"[Probe::Run] ！probe\u3000narrow 1234567890123", r.message);
    EXPECT_TRUE(std::regex_match(r.time, std::wregex(LR"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{6}\])")));
}

TEST(Trace, MessageEdges)
{
    TraceCapture capture;
    GpTrace(L"a.cpp", 1, TRACE_ERROR, L"");
    GpTrace(L"a.cpp", 2, TRACE_ERROR, L"one\n");
    std::wstring longText(4000, L'x');
    GpTrace(L"a.cpp", 3, TRACE_ERROR, L"%s\n", longText.c_str());
    GpTrace(L"a.cpp", 4, 14, L"unnamed level");
    ASSERT_TRUE(capture.WaitFor(L"unnamed level"));
    auto recs = capture.Records();
    ASSERT_EQ(4u, recs.size());
    EXPECT_EQ(L"\u3000", recs[0].message);
    EXPECT_EQ(L"one", recs[1].message);
    EXPECT_EQ(std::wstring(3455, L'x'), recs[2].message); // cut: no closing line feed left to drop
    EXPECT_EQ(14, recs[3].level);
}

TEST(Trace, LastErrorIsClearedOnlyWhenARecordIsEmitted)
{
    SetLastError(5);
    GpTrace(L"a.cpp", 1, 101, L"dropped by both thresholds");
    EXPECT_EQ(5u, GetLastError());
    SetLastError(5);
    GpTrace(L"a.cpp", 1, TRACE_ERROR, L"emitted");
    EXPECT_EQ(0u, GetLastError());
}

TEST(Trace, TimestampsOrderRecordsWithinOneReading)
{
    wchar_t prev[32] = L"";
    DWORD prevSeq = 0;
    int same = 0;
    for (int i = 0; i < 2000; i++)
    {
        wchar_t stamp[32];
        DWORD seq = GpTraceTimestamp(stamp, 32);
        std::wstring s(stamp);
        if (seq == 0)
        {
            EXPECT_EQ(L"000", s.substr(s.size() - 3)) << s; // microseconds = milliseconds x 1000
        }
        else if (i > 0)
        {
            EXPECT_EQ(prevSeq + 1, seq);
            EXPECT_LT(std::wstring(prev), s);
            same++;
        }
        wcscpy(prev, stamp);
        prevSeq = seq;
    }
    EXPECT_GT(same, 0) << "no two stamps fell within one clock reading";
}

TEST(Trace, ErrorTexts)
{
    wchar_t buf[GP_ERRTEXT_CCH];
    EXPECT_STREQ(L"NO_ERROR", GpErrorText(buf, 0));
    EXPECT_STREQ(L"ERROR_OK", GpErrorText(buf, 37));
    EXPECT_STREQ(L"ERROR_NON", GpErrorText(buf, 35));
    std::wstring t2 = GpErrorText(buf, 2);
    EXPECT_TRUE(std::regex_match(t2, std::wregex(LR"([^\r\n]+ \(2:0x00000002\))"))) << t2;
    EXPECT_STREQ(L"？？？ (3735928559:0xDEADBEEF)", GpErrorText(buf, static_cast<int>(0xDEADBEEF)));
    SetLastError(5);
    EXPECT_NE(nullptr, wcsstr(GpErrorText(buf, -1), L"(5:0x00000005)"));
    EXPECT_EQ(nullptr, GpErrorText(nullptr, 2));
    EXPECT_NE(nullptr, wcsstr(GpCrtErrorText(2), L"\u3000(2:0x00000002)"));
}

TEST(Trace, PipeNameControlRefusesOverlongNames)
{
    std::wstring before = GpTraceProcessInfo().szPipePath;
    GpTraceControl(-9, 0, std::wstring(33, L'n').c_str());
    GpTraceControl(-9, 0, L"");
    EXPECT_EQ(before, GpTraceProcessInfo().szPipePath);
    GpTraceControl(-7, 0, L"server");
    EXPECT_EQ(L"\\\\server\\pipe\\" + TestPipeName(), std::wstring(GpTraceProcessInfo().szPipePath));
    GpTraceControl(-7, 0, L".");
}

// A listener whose only instance is taken keeps one thread retrying for seconds; the trace lock
// is not held meanwhile, so another thread's trace call goes through at once.
TEST(Trace, BusyListenerDoesNotHoldOtherThreadsBack)
{
    const std::wstring name = TestPipeName() + L"-busy";
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    GpFile server(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 8192, 8192, 0, nullptr));
    ASSERT_TRUE(server);
    GpFile taken(
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(taken);
    GpTraceControl(-9, 0, name.c_str());

    struct Retrying
    {
        static DWORD WINAPI Run(void*)
        {
            GpTrace(L"a.cpp", 1, TRACE_ERROR, L"waits for the busy listener");
            return 0;
        }
    };
    GpKernelHandle worker(CreateThread(nullptr, 0, Retrying::Run, nullptr, 0, nullptr));
    ASSERT_TRUE(worker);
    Sleep(300); // the worker is in its retries by now
    ULONGLONG start = GetTickCount64();
    GpTraceControl(-4, g_gpTraceSettings.nPipeLevel, nullptr); // takes the trace lock
    ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker.Get(), 15000));
    GpTraceControl(-9, 0, TestPipeName().c_str());
    EXPECT_LT(elapsed, 1000u) << "the control call waited for the retries";
}

namespace
{
DWORD s_openAccess, s_openFlags;
HANDLE RecordingOpen(const wchar_t* pszPath, DWORD dwAccess, DWORD dwFlags)
{
    s_openAccess = dwAccess;
    s_openFlags = dwFlags;
    return CreateFileW(pszPath, dwAccess, 0, nullptr, OPEN_EXISTING, dwFlags, nullptr);
}
} // namespace

// Whoever created the listener's end must not act with our token (Wine ignores the level, so the
// flags are what a test can see), and the transaction must be one that can be given up.
TEST(TracePipe, ClientEndIsOpenedAnonymousAndOverlapped)
{
    TraceCapture capture;
    GpTraceSetPipeOpener(RecordingOpen);
    GPTRACE(TRACE_ERROR, L"[%s] open flags", L"Probe");
    GpTraceSetPipeOpener(nullptr);
    ASSERT_TRUE(capture.WaitFor(L"open flags"));
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), s_openAccess);
    EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS),
              s_openFlags);
}

// A listener that takes a record and never answers, or keeps every instance busy, costs one
// bounded wait; the process then stops offering it records until the pipe path changes.
TEST(TracePipe, StallingListenerCostsOneBoundedWait)
{
    struct Case
    {
        StallingListener::Kind kind;
        const wchar_t* suffix;
        ULONGLONG minFirstMs, maxFirstMs;
    } cases[] = {
        {StallingListener::Kind::NeverAnswers, L"-mute", GP_TRACE_REPLY_WAIT_MS - 100,
         GP_TRACE_REPLY_WAIT_MS + 1500},
        {StallingListener::Kind::AllBusy, L"-full", 4000, 9000},
    };
    for (const Case& c : cases)
    {
        const std::wstring name = TestPipeName() + c.suffix;
        StallingListener listener(name, c.kind);
        ASSERT_TRUE(listener.Ready());
        GpTraceControl(-9, 0, name.c_str());
        ULONGLONG t0 = GetTickCount64();
        GPTRACE(TRACE_ERROR, L"[%s] first", L"Probe");
        ULONGLONG t1 = GetTickCount64();
        GPTRACE(TRACE_ERROR, L"[%s] second", L"Probe");
        ULONGLONG t2 = GetTickCount64();
        GpTraceControl(-9, 0, TestPipeName().c_str());
        EXPECT_GE(t1 - t0, c.minFirstMs) << name;
        EXPECT_LT(t1 - t0, c.maxFirstMs) << name;
        EXPECT_LT(t2 - t1, 300u) << name << ": the second record was offered too";
        if (c.kind == StallingListener::Kind::NeverAnswers)
        {
            EXPECT_EQ(1, listener.Records()) << name;
        }
    }
    TraceCapture capture; // a new path gets its records again
    GPTRACE(TRACE_ERROR, L"[%s] after", L"Probe");
    EXPECT_TRUE(capture.WaitFor(L"after"));
}

TEST_F(TraceFileTest, FileLineLayoutByteForByte)
{
    TraceCapture capture;
    GpTraceControl(-1, 1, Base().c_str());
    GpTrace(L"C:\\src\\app.cpp", 77, TRACE_ERROR, L"[%s] ！failed\u3000｛%s｝\n", L"App::Step", L"text");
    ASSERT_TRUE(capture.WaitFor(L"failed"));
    DebugRecord r = capture.Records().at(0);
    std::wstring expected = Banner() +
                            L"C:\\src\\app.cpp(77):\t<ERROR>\t[App::Step] ！failed\u3000｛text｝\t" + r.time +
                            L"\u3000\tTID=" + std::to_wstring(GetCurrentThreadId()) + L" \tPID=" +
                            std::to_wstring(GetCurrentProcessId()) + L" \tPG:test_common_trace.exe\r\n";
    EXPECT_EQ(expected, ReadLog(L"#00.log"));
}

TEST_F(TraceFileTest, LevelsWithoutNameAndAboveThresholdWriteNoLine)
{
    GpTraceControl(-1, 1, Base().c_str());
    GpTrace(L"a.cpp", 1, 14, L"no printed name");
    GpTrace(L"a.cpp", 2, 43, L"above the file threshold");
    GpTrace(L"a.cpp", 3, TRACE_TRACE, L"kept");
    std::wstring log = ReadLog(L"#00.log");
    EXPECT_EQ(1, CountLines(log) - 3); // the banner holds three line ends
    EXPECT_NE(std::wstring::npos, log.find(L"<Trace>\tkept"));
}

TEST_F(TraceFileTest, GenerationNamesFollowTheCount)
{
    struct Case
    {
        int generations;
        const wchar_t* current;
    } cases[] = {{0, L".log"}, {5, L"#0.log"}, {50, L"#00.log"}, {100, L"#000.log"}, {1000, L"#0000.log"}};
    for (const Case& c : cases)
    {
        GpTraceControl(-2, c.generations, nullptr);
        GpTraceControl(-1, 1, Base().c_str());
        EXPECT_TRUE(FileExists(LogFile(c.current))) << c.generations;
    }
    GpTraceControl(-2, 10000, nullptr); // out of range: kept
    EXPECT_EQ(1000, g_gpTraceSettings.wGenerations);
}

TEST_F(TraceFileTest, RotationShiftsEveryGenerationAndDropsTheOldest)
{
    wchar_t name[16];
    for (int k = 0; k <= 50; k++)
    {
        swprintf(name, 16, L"#%02d.log", k);
        ASSERT_TRUE(WriteFileBytes(LogFile(name), "gen" + std::to_string(k)));
    }
    GpTraceControl(-1, 1, Base().c_str());
    EXPECT_EQ(Banner(), ReadLog(L"#00.log"));
    for (int k = 1; k <= 50; k++)
    {
        swprintf(name, 16, L"#%02d.log", k);
        EXPECT_EQ("gen" + std::to_string(k - 1), ReadFileBytes(LogFile(name))) << k;
    }
    EXPECT_FALSE(FileExists(LogFile(L"#51.log")));
}

TEST_F(TraceFileTest, ControlWithoutKeepingDeletesTheNewFileAndALineRecreatesIt)
{
    GpTraceControl(-1, 0, Base().c_str());
    EXPECT_FALSE(FileExists(LogFile(L"#00.log")));
    EXPECT_TRUE(FileExists(LogFile(L"#01.log")) == false);
    GpTrace(L"a.cpp", 1, TRACE_ERROR, L"first");
    std::wstring log = ReadLog(L"#00.log");
    EXPECT_EQ(0u, log.find(Banner()));
    EXPECT_NE(std::wstring::npos, log.find(L"first"));
}

TEST_F(TraceFileTest, OneProcessWritesAtMost40001LinesToAFile)
{
    GpTraceControl(-4, 0, nullptr); // no pipe: only the file
    GpTraceControl(-1, 1, Base().c_str());
    for (int i = 1; i <= 40001; i++)
        GpTrace(L"a.cpp", i, TRACE_ERROR, L"line");
    EXPECT_FALSE(FileExists(LogFile(L"#01.log")));
    GpTrace(L"a.cpp", 40002, TRACE_ERROR, L"next");
    EXPECT_EQ(40001, CountLines(ReadLog(L"#01.log")) - 3);
    std::wstring current = ReadLog(L"#00.log");
    EXPECT_EQ(1, CountLines(current) - 3);
    EXPECT_NE(std::wstring::npos, current.find(L"a.cpp(40002):"));
}

// Run only as a child of SharedSectionsTest: succeeds when it sees the parent's marks.
TEST(TraceShare, DISABLED_ChildSeesParentMarks)
{
    EXPECT_EQ(4242, g_gpTraceSettings.nFileLevel);
    EXPECT_EQ(7, g_gpTraceSettings.wGenerations);
    EXPECT_EQ(-4242, g_gpTraceClock.nSameCount);
}

TEST(TraceShare, BlocksAreSharedByTheSameExecutableOnly)
{
    GpTraceSettings savedSettings = g_gpTraceSettings;
    GpTraceClock savedClock = g_gpTraceClock;
    g_gpTraceSettings.nFileLevel = 4242;
    g_gpTraceSettings.wGenerations = 7;
    g_gpTraceClock.nSameCount = -4242;

    std::wstring args =
        L" --gtest_also_run_disabled_tests --gtest_filter=TraceShare.DISABLED_ChildSeesParentMarks";
    ProcessResult same = RunProcess(Quote(BinPath(L"test_common_trace.exe")) + args);

    TempDir dir;
    std::wstring copy = dir / L"test_common_trace_copy.exe";
    ASSERT_TRUE(CopyFileW(BinPath(L"test_common_trace.exe").c_str(), copy.c_str(), FALSE));
    ProcessResult other = RunProcess(Quote(copy) + args);

    g_gpTraceSettings = savedSettings;
    g_gpTraceClock = savedClock;
    ASSERT_TRUE(same.started && other.started);
    EXPECT_EQ(0u, same.exitCode) << "a second process of the same file must share both blocks";
    EXPECT_NE(0u, other.exitCode) << "another executable file must not see them";
}
