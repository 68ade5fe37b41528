#include <gtest/gtest.h>

#include <string>

#include "common/GpResult.h"
#include "common/GpTrace.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"
#include "tests/zip/ZipFixture.h"
#include "zip/GpUnzFile.h"
#include "zip/ZLibExtraLocal.h"
#include "zip/ZLibFileFunc.h"

using namespace lumotest;
using namespace ziptest;

namespace
{
struct ExtraCase
{
    const char* label;
    std::string field;
    int expected;
    const wchar_t* relPath; // after the call
    int version;            // m_nVersion after the call
    int level;              // level of the record that explains it
    const wchar_t* trace;
};

std::wstring Units(size_t n)
{
    std::wstring s(n, L'x');
    s[0] = L'y';
    return s;
}

// Loads the record of the only entry of an archive with the given local extra field.
int LoadFrom(const std::string& field, ZLibExtraLocal& extra, TempDir& dir)
{
    std::wstring path = dir / L"x.zip";
    Entry e = File("stored.txt", "data");
    e.localExtra = field;
    if (!WriteArchive(path, {e}))
        return -9999;
    zlib_filefunc64_def ff;
    FillWin32FileFunc64W(&ff);
    GpUnzFile archive(unzOpen2_64(path.c_str(), &ff));
    if (!archive)
        return -9998;
    if (unzOpenCurrentFilePassword(archive.Get(), nullptr) != UNZ_OK)
        return -9997;
    return extra.LoadStream(archive.Get());
}
} // namespace

TEST(ZLibExtraLocal, RecordCases)
{
    std::wstring ab(L"a\\b.txt", 8); // with its terminating NUL
    std::wstring big = Units(32000);
    std::string overrun = ExtraRecord(L"abcd", 1, 0, 10);
    const ExtraCase cases[] = {
        {"no field", "", ERROR_NON, L"", 1, TRACE_DEBUG,
         L"[ZLibExtraLocal::LoadStream] unzGetLocalExtrafield\u3000拡張データー無し。"},
        {"timestamp block", TimestampBlock(), ERROR_NON, L"", 1, TRACE_WARNING,
         L"[ZLibExtraLocal::LoadStream] ZEX_MAGICNAME[0]=<55>."},
        {"short field", std::string("ZExL", 5), ERROR_NON, L"", 1, TRACE_WARNING, L"ZEX_MAGICNAME[0]=<5A>."},
        {"version 2", ExtraRecord(L"v2.txt", 2), ERROR_NON, L"", 2, TRACE_WARNING,
         L"[ZLibExtraLocal::LoadStream] m_nVersion=2."},
        {"size one short", ExtraRecord(L"s.txt", 1, -1), ERROR_NON, L"", 1, TRACE_WARNING,
         L"[ZLibExtraLocal::LoadStream] size saved=24, alloc=25."},
        {"length 0", ExtraRecord(L"z", 1, 0, 0), ERROR_NON, L"", 1, TRACE_WARNING,
         L"[ZLibExtraLocal::LoadStream] RelPath len=0."},
        {"length 32001", ExtraRecord(L"z", 1, 0, 32001), ERROR_NON, L"", 1, TRACE_WARNING,
         L"RelPath len=32001."},
        {"path past the field", overrun, ERROR_NON, L"", 1, TRACE_WARNING, L"RelPath len=10."},
        {"length 32000", ExtraRecord(big), ERROR_OK, big.c_str(), 1, 0, nullptr},
        {"path with NUL", ExtraRecord(ab), ERROR_OK, L"a\\b.txt", 1, 0, nullptr},
        {"path without NUL", ExtraRecord(L"a\\b.txt"), ERROR_OK, L"a\\b.txt", 1, 0, nullptr},
    };
    for (const ExtraCase& c : cases)
    {
        SCOPED_TRACE(c.label);
        TempDir dir;
        TraceCapture capture;
        ZLibExtraLocal extra;
        EXPECT_EQ(c.expected, LoadFrom(c.field, extra, dir));
        EXPECT_EQ(std::wstring(c.relPath), std::wstring(extra.RelPath.c_str()));
        EXPECT_EQ(c.version, extra.m_nVersion);
        if (c.trace != nullptr)
        {
            ASSERT_TRUE(capture.WaitFor(c.trace));
            bool levelSeen = false;
            for (const DebugRecord& r : capture.Records())
                levelSeen =
                    levelSeen || (r.message.find(c.trace) != std::wstring::npos && r.level == c.level);
            EXPECT_TRUE(levelSeen);
        }
    }
}

TEST(ZLibExtraLocal, SecondLoadReusesTheObject)
{
    TempDir dir;
    ZLibExtraLocal extra;
    ASSERT_EQ(ERROR_OK, LoadFrom(ExtraRecord(L"first\\long\\name.txt"), extra, dir));
    ASSERT_EQ(ERROR_OK, LoadFrom(ExtraRecord(L"b"), extra, dir));
    EXPECT_STREQ(L"b", extra.RelPath.c_str());
    // A foreign field leaves the path of the last record.
    EXPECT_EQ(ERROR_NON, LoadFrom(TimestampBlock(), extra, dir));
    EXPECT_STREQ(L"b", extra.RelPath.c_str());
}

TEST(ZLibExtraLocal, NoEntryOpenIsAReadFailure)
{
    TraceCapture capture;
    ZLibExtraLocal extra;
    EXPECT_EQ(-79, extra.LoadStream(nullptr));
    EXPECT_TRUE(capture.WaitFor(L"[ZLibExtraLocal::LoadStream] ！unzGetLocalExtrafield\u3000err=-102."));

    TempDir dir;
    std::wstring path = dir / L"x.zip";
    ASSERT_TRUE(WriteArchive(path, {File("a.txt", "a")}));
    zlib_filefunc64_def ff;
    FillWin32FileFunc64W(&ff);
    GpUnzFile archive(unzOpen2_64(path.c_str(), &ff));
    ASSERT_TRUE(archive.IsValid());
    EXPECT_EQ(-79, extra.LoadStream(archive.Get()));
}
