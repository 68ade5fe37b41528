#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "logcheck/UnsentLogChecker.h"
#include "tests/support/HostLink.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

namespace
{
struct CountCase
{
    const char* name;
    std::vector<std::wstring> entries; // relative paths; a trailing backslash makes a folder
    int expected;
};

const CountCase kCountCases[] = {
    {"Empty", {}, 0},
    {"OnlyLogFilesCount", {L"a.log", L"b.LOG", L"c.txt", L"readme", L"d.log.bak"}, 2},
    {"LogSubFolderIsCountedInto",
     {L"a.log", L"old.log\\", L"old.log\\1.log", L"old.log\\2.log", L"old.log\\x.txt"},
     3},
    {"OtherSubFoldersAreNot", {L"a.log", L"archive\\", L"archive\\1.log", L"archive\\2.log"}, 1},
    {"NestedLogFoldersAndEmptyOne",
     {L"x.log\\", L"x.log\\y.log\\", L"x.log\\y.log\\1.log", L"x.log\\plain\\", L"x.log\\plain\\2.log",
      L"e.log\\"},
     1},
};

void PrintTo(const CountCase& c, std::ostream* os)
{
    *os << c.name;
}

class CountQvcLogFilesTest : public ::testing::TestWithParam<CountCase>
{
};

TEST_P(CountQvcLogFilesTest, CountsPendingLogs)
{
    lumotest::TempDir dir;
    for (const auto& e : GetParam().entries)
    {
        std::wstring path = dir / e;
        if (e.back() == L'\\')
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        else
            ASSERT_TRUE(lumotest::WriteFileBytes(path, "x"));
    }
    // With and without the closing backslash.
    EXPECT_EQ(GetParam().expected, CountQvcLogFiles(dir.Path().c_str()));
    EXPECT_EQ(GetParam().expected, CountQvcLogFiles((dir.Path() + L"\\").c_str()));
}

INSTANTIATE_TEST_SUITE_P(Cases, CountQvcLogFilesTest, ::testing::ValuesIn(kCountCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CountQvcLogFiles, MissingFolderCountsZeroWithoutError)
{
    lumotest::TraceCapture trace;
    lumotest::TempDir dir;
    EXPECT_EQ(0, CountQvcLogFiles((dir / L"gone").c_str()));
    EXPECT_EQ(0, CountQvcLogFiles((dir / L"gone\\deeper").c_str()));
    EXPECT_FALSE(trace.Contains(L"[CountQvcLogFiles]"));
}

TEST(CountQvcLogFiles, UnsearchableFolderIsTracedAndCountsZero)
{
    lumotest::TraceCapture trace;
    // A name no folder can have: the search fails with something other than "not found".
    EXPECT_EQ(0, CountQvcLogFiles(L"C:\\bad<>|name"));
    EXPECT_TRUE(trace.WaitFor(L"[CountQvcLogFiles] ！FindFirstFile\u3000｛"));
}
// Links and depth in a folder the client's users can write to. Under Wine a host symbolic link to a
// folder reads as a folder with the reparse-point attribute, as a junction does on Windows.
TEST(CountQvcLogFiles, LinkedFoldersAreCountedOnce)
{
    if (!lumotest::HostAvailable())
        GTEST_SKIP() << "needs Wine's host entries to make a link";
    lumotest::TraceCapture trace;
    lumotest::TempDir dir;
    lumotest::TempDir elsewhere;
    for (const wchar_t* name : {L"a.log", L"b.log", L"c.log"})
        ASSERT_TRUE(lumotest::WriteFileBytes(dir / name, "x"));
    for (int i = 0; i < 5; i++)
        ASSERT_TRUE(lumotest::WriteFileBytes(elsewhere / (std::to_wstring(i) + L".log"), "x"));
    // Two folder links to their own parent folder (followed blindly, they would make 2^32 paths),
    // two to one folder elsewhere, one from there back again, and a link as the log folder itself.
    ASSERT_TRUE(lumotest::MakeHostLink(dir / L"up.log", L".", true));
    ASSERT_TRUE(lumotest::MakeHostLink(dir / L"self.log", dir.Path()));
    ASSERT_TRUE(lumotest::MakeHostLink(dir / L"away.log", elsewhere.Path()));
    ASSERT_TRUE(lumotest::MakeHostLink(dir / L"again.log", elsewhere.Path()));
    ASSERT_TRUE(lumotest::MakeHostLink(elsewhere / L"back.log", dir.Path()));
    ASSERT_TRUE(lumotest::MakeHostLink(dir / L"linked", elsewhere.Path()));
    EXPECT_NE(0u, GetFileAttributesW((dir / L"up.log").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_NE(0u, GetFileAttributesW((dir / L"linked").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(3 + 5, CountQvcLogFiles(dir.Path().c_str()));
    // A log folder moved elsewhere by a link: its logs are pending all the same.
    EXPECT_EQ(5 + 3, CountQvcLogFiles((dir / L"linked").c_str()));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    std::printf("links: 16 files counted through 6 links, loops cut, %lld ms\n",
                static_cast<long long>(ms.count()));
    EXPECT_TRUE(trace.WaitFor(L"[CountQvcLogFiles] ！数え済みのフォルダです\u3000<"));
    EXPECT_FALSE(trace.Contains(L"！FindFirstFile"));
    EXPECT_FALSE(trace.Contains(L"！リンクは数えません"));
    // Wine cannot remove a folder link from the Windows side.
    EXPECT_TRUE(lumotest::HostShell(dir.Path(), "rm up.log self.log away.log again.log linked"));
    EXPECT_TRUE(lumotest::HostShell(elsewhere.Path(), "rm back.log"));
}

TEST(CountQvcLogFiles, DeepTreeIsCountedToItsBound)
{
    if (!lumotest::HostAvailable())
        GTEST_SKIP() << "needs Wine's host entries to make a deep tree";
    lumotest::TraceCapture trace;
    lumotest::TempDir dir;
    // 10 000 levels of "a.log" folders with one log file in each: deeper than any path can name,
    // so the host makes it, one level after the other. In memory where the host has a tmpfs
    // (Wine's Z: is the host's root): making and removing it on a disk takes seconds.
    std::wstring parent = lumotest::FileExists(L"Z:\\dev\\shm") ? L"Z:\\dev\\shm" : dir.Path();
    std::string name = "lumotest-deep-" + std::to_string(GetCurrentProcessId());
    std::wstring root = parent + L"\\" + lumotest::FromUtf8(name);
    ASSERT_TRUE(
        lumotest::HostShell(parent, "mkdir " + name + " && cd " + name +
                                        " && perl -e 'for (1..10000) { mkdir q(a.log) and chdir q(a.log) "
                                        "and open(F, q(>f.log)) or exit 1; close F }'"));
    auto t0 = std::chrono::steady_clock::now();
    int n = CountQvcLogFiles(root.c_str());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    std::printf("deep tree of 10000 levels: %d counted, %lld ms\n", n, static_cast<long long>(ms.count()));
    EXPECT_EQ(QVC_LOG_MAX_DEPTH, n);
    EXPECT_TRUE(trace.WaitFor(L"[CountQvcLogFiles] ！階層が深すぎます depth>"));
    EXPECT_TRUE(lumotest::HostShell(parent, "rm -rf " + name));
}
} // namespace
