#include <gtest/gtest.h>

#include <vector>

#include "logcheck/UnsentLogChecker.h"
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
} // namespace
