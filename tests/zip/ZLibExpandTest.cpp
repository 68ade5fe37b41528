#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"
#include "tests/zip/ZipFixture.h"
#include "zip/GpUnzFile.h"
#include "zip/ZLibExpand.h"
#include "zip/ZLibFileFunc.h"

using namespace lumotest;
using namespace ziptest;

namespace
{
// Codes of the expansion that its header does not name.
constexpr int kArchiveNotOpened = -957; // unzOpen2_64 failed and the system gave no error
constexpr int kNoArchive = -813;        // Expand without an archive
constexpr int kNoCurrentEntry = -624;   // ExpandFile without an archive

class ExpandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        GpSeam().SleepFn = [this](DWORD ms) { m_sleeps.push_back(ms); };
        m_zip = m_dir / L"in.zip";
        m_dest = m_dir / L"out";
    }
    void TearDown() override { GpSeamsReset(); }

    int Build(const std::vector<Entry>& entries) { return WriteArchive(m_zip, entries) ? 0 : -1; }

    // Paths below the test folder other than the archive and the destination: what escaped.
    std::vector<std::wstring> Strays() const
    {
        std::vector<std::wstring> found;
        for (const std::wstring& n : ListFiles(m_dir / L"*"))
            if (n != L"in.zip" && n != L"out")
                found.push_back(n);
        return found;
    }

    TempDir m_dir;
    std::wstring m_zip;
    std::wstring m_dest;
    std::vector<DWORD> m_sleeps;
};

// The file's last-write time in local time, with the daylight rule of that date.
SYSTEMTIME LocalWriteTime(const std::wstring& path)
{
    SYSTEMTIME utc = {}, local = {};
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fad) &&
        FileTimeToSystemTime(&fad.ftLastWriteTime, &utc))
        SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    return local;
}

// Both count fields of the end record at eocd.
void SetEntryCounts(std::string& bytes, size_t eocd, char n)
{
    for (size_t ofs : {8, 10})
    {
        bytes[eocd + ofs] = n;
        bytes[eocd + ofs + 1] = n == '\xFF' ? '\xFF' : '\0';
    }
}

DWORD Attributes(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str());
}
} // namespace

TEST_F(ExpandTest, FolderAndFileWithLastWriteTimeAsLocalTime)
{
    for (const wchar_t* suffix : {L"", L"\\"})
    {
        SCOPED_TRACE(suffix[0] ? "destination with backslash" : "destination without backslash");
        TempDir dir;
        std::wstring zip = dir / L"in.zip";
        Entry file = File("folder/file.txt", "hello, world");
        file.date = {44, 33, 22, 11, 6, 2022}; // 2022-07-11 22:33:44
        ASSERT_TRUE(WriteArchive(zip, {Folder("folder/"), file}));
        TraceCapture capture;
        std::wstring dest = dir / L"out";
        EXPECT_EQ(ERROR_OK, ZLibExpand(zip.c_str(), (dest + suffix).c_str()));
        EXPECT_EQ("hello, world", ReadFileBytes(dest + L"\\folder\\file.txt"));
        SYSTEMTIME st = LocalWriteTime(dest + L"\\folder\\file.txt");
        EXPECT_EQ(2022, st.wYear);
        EXPECT_EQ(7, st.wMonth);
        EXPECT_EQ(11, st.wDay);
        EXPECT_EQ(22, st.wHour);
        EXPECT_EQ(33, st.wMinute);
        EXPECT_EQ(44, st.wSecond);
        EXPECT_TRUE(capture.WaitFor(L"[ZLibExpand] \u3000end。\u3000\u3000ret=37."));
        EXPECT_TRUE(
            capture.Contains(L"[ZLibExpand] begin．\u3000\u3000dest=<" + dest + suffix + L"> cre=0 pass=<"));
        EXPECT_TRUE(capture.Contains(L"[Expand] gi.number_entry=2."));
        EXPECT_TRUE(capture.Contains(L"[ExpandFile] begin．\u3000bs=16777216 buff=0x"));
    }
    EXPECT_TRUE(m_sleeps.empty());
}

TEST_F(ExpandTest, NamesFromStoredPathAndFromExtraRecord)
{
    Entry nested = File("a/b/c.txt", "nested");
    Entry unicode = File("ignored.txt", "unicode");
    unicode.localExtra = ExtraRecord(std::wstring(L"sub\\日本語.txt", 12));
    Entry foreign = File("t/stamped.txt", "stamped");
    foreign.localExtra = TimestampBlock();
    Entry v2 = File("v2/stored.txt", "version two");
    v2.localExtra = ExtraRecord(L"v2\\record.txt", 2);
    ASSERT_EQ(0, Build({nested, unicode, foreign, v2}));
    EXPECT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_EQ("nested", ReadFileBytes(m_dest + L"\\a\\b\\c.txt"));
    EXPECT_EQ("unicode", ReadFileBytes(m_dest + L"\\sub\\日本語.txt"));
    EXPECT_FALSE(FileExists(m_dest + L"\\ignored.txt"));
    EXPECT_EQ("stamped", ReadFileBytes(m_dest + L"\\t\\stamped.txt"));
    EXPECT_EQ("version two", ReadFileBytes(m_dest + L"\\v2\\stored.txt"));
    EXPECT_FALSE(FileExists(m_dest + L"\\v2\\record.txt"));
}

TEST_F(ExpandTest, LargeDeflatedAndStoredFilesSpanSeveralBlocks)
{
    std::string big(16777216 + 4321, '\0');
    unsigned x = 1;
    for (size_t i = 0; i < big.size(); i++)
    {
        x = x * 1103515245u + 12345u;
        big[i] = static_cast<char>(i % 7 == 0 ? (x >> 24) : 'a' + i % 3);
    }
    Entry deflated = File("big.bin", big);
    Entry stored = File("stored.bin", big.substr(0, 1000));
    stored.method = 0;
    ASSERT_EQ(0, Build({deflated, stored}));
    EXPECT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_TRUE(ReadFileBytes(m_dest + L"\\big.bin") == big);
    EXPECT_TRUE(ReadFileBytes(m_dest + L"\\stored.bin") == big.substr(0, 1000));
}

TEST_F(ExpandTest, FolderAttributes)
{
    ASSERT_EQ(0, Build({Folder("plain/"), Folder("ro/", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN),
                        Folder("plain/deeper/")}));
    TraceCapture capture;
    EXPECT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), Attributes(m_dest + L"\\plain"));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), Attributes(m_dest + L"\\plain\\deeper"));
    EXPECT_TRUE(Attributes(m_dest + L"\\ro") & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(capture.WaitFor(L"[ExpandFile] SetFileAttributes 0x2\u3000<" + m_dest + L"\\ro\\>"));
    SetFileAttributesW((m_dest + L"\\ro").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ExpandTest, HostModeBitsInTheHighWordAreNotTakenForFlags)
{
    // An archive made on a Unix host: mode 02644 in the high word reads as delete-on-close.
    Entry unixFile = File("unix.txt", "kept");
    unixFile.externalAttr = (0102644u << 16) | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_EQ(0, Build({unixFile}));
    EXPECT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_EQ("kept", ReadFileBytes(m_dest + L"\\unix.txt"));
}

TEST_F(ExpandTest, SameArchiveTwiceFailsWithFileExistsAfterTenAttempts)
{
    ASSERT_EQ(0, Build({Folder("f/"), File("f/one.txt", "first"), File("two.txt", "second")}));
    ASSERT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    TraceCapture capture;
    EXPECT_EQ(ERROR_FILE_EXISTS, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_EQ(std::vector<DWORD>(10, 1000), m_sleeps);
    EXPECT_TRUE(capture.WaitFor(L"[Expand] ！ExpandFile i=1\u3000rc=80."));
    EXPECT_EQ(10u, capture.Messages(L"[ExpandFile] ！CreateFile retry#").size());
    EXPECT_TRUE(capture.Contains(L"[ExpandFile] ！CreateFile retry#9\u3000｛"));
    EXPECT_TRUE(capture.Contains(L"[ExpandFile] ！CreateFile<" + m_dest +
                                 L"\\f\\one.txt, 0x0000000000000020>\u3000｛"));
    EXPECT_EQ("first", ReadFileBytes(m_dest + L"\\f\\one.txt"));
}

TEST_F(ExpandTest, MissingArchiveAndOverlongPaths)
{
    TraceCapture capture;
    std::wstring missing = m_dir / L"missing.zip";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ZLibExpand(missing.c_str(), m_dest.c_str()));
    EXPECT_TRUE(capture.WaitFor(L"[ZLibExpand] ZIP解凍エラーです\u3000｛"));
    EXPECT_TRUE(m_sleeps.empty());
    EXPECT_FALSE(FileExists(m_dest));

    std::wstring base = m_dir.Path() + L"\\";
    std::wstring at260 = base + std::wstring(260 - base.size(), L'z');
    std::wstring at259 = base + std::wstring(259 - base.size(), L'z');
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, ZLibExpand(at260.c_str(), m_dest.c_str()));
    EXPECT_TRUE(capture.WaitFor(L"[ZLibExpand] ！CheckPathLimit\u3000err=206.\u3000｛"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ZLibExpand(at259.c_str(), m_dest.c_str()));
    ASSERT_EQ(0, Build({File("a.txt", "a")}));
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, ZLibExpand(m_zip.c_str(), at260.c_str()));
    EXPECT_EQ(ERROR_BAD_PATHNAME, ZLibExpand(L"", m_dest.c_str()));
}

TEST_F(ExpandTest, ArchiveLockedThroughoutFailsWithTheLastOpenError)
{
    ASSERT_EQ(0, Build({File("a.txt", "a")}));
    GpFile lock(CreateFileW(m_zip.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock.IsValid());
    TraceCapture capture;
    EXPECT_EQ(ERROR_SHARING_VIOLATION, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    lock.Reset();
    EXPECT_EQ(std::vector<DWORD>(10, 1000), m_sleeps);
    EXPECT_TRUE(capture.WaitFor(L"[ZLibExpand] ！unzOpen2_64\u3000｛"));
    EXPECT_FALSE(FileExists(m_dest));
}

TEST_F(ExpandTest, NotAnArchive)
{
    ASSERT_TRUE(WriteFileBytes(m_zip, "this is no zip file"));
    TraceCapture capture;
    int rc = ZLibExpand(m_zip.c_str(), m_dest.c_str());
    EXPECT_EQ(kArchiveNotOpened, rc);
    EXPECT_TRUE(capture.WaitFor(L"[ZLibExpand] ！unzOpen2_64\u3000｛"));
}

TEST_F(ExpandTest, EntryPathsThatWouldLeaveTheDestinationAreRefused)
{
    struct Case
    {
        const char* stored;
        const wchar_t* record; // extra-record path, or null
    };
    const Case cases[] = {
        {"../escaped.txt", nullptr},
        {"a/../../escaped.txt", nullptr},
        {"a/..", nullptr},
        {"../", nullptr},
        {"a/.../escaped.txt", nullptr},
        {"/escaped.txt", nullptr},
        {"\\escaped.txt", nullptr},
        {"C:/escaped.txt", nullptr},
        {"C:escaped.txt", nullptr},
        {"//server/share/escaped.txt", nullptr},
        {"\\\\?\\C:\\escaped.txt", nullptr},
        {"a.txt:stream", nullptr},
        {"", nullptr},
        {"sub/CON", nullptr},
        {"nul.txt", nullptr},
        {"a/Com1 .log", nullptr},
        {"fine.txt", L"sub\\LPT9"},
        {"fine.txt", L"..\\escaped.txt"},
        {"fine.txt", L"sub\\..\\..\\escaped.txt"},
        {"fine.txt", L"\\escaped.txt"},
        {"fine.txt", L"C:\\escaped.txt"},
        {"fine.txt", L"\\\\pc\\share\\escaped.txt"},
        {"fine.txt", L"\\\\?\\C:\\escaped.txt"},
        {"fine.txt", L"\\\\?\\UNC\\pc\\share\\escaped.txt"},
        {"fine.txt", L"sub/../../escaped.txt"},
        {"fine.txt", L"a.txt:ads"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.record ? FromUtf8(c.stored) + L" with " + c.record : FromUtf8(c.stored));
        TempDir dir;
        std::wstring zip = dir / L"in.zip";
        std::wstring dest = dir / L"out\\inner";
        Entry e = File(c.stored, "x");
        if (c.record)
            e.localExtra = ExtraRecord(c.record);
        ASSERT_TRUE(WriteArchive(zip, {File("first.txt", "1"), e, File("last.txt", "2")}));
        TraceCapture capture;
        EXPECT_EQ(ZEXP_ERR_UNSAFE_PATH, ZLibExpand(zip.c_str(), dest.c_str()));
        EXPECT_TRUE(capture.WaitFor(L"[Expand] ！ExpandFile i=1\u3000rc=" +
                                    std::to_wstring(ZEXP_ERR_UNSAFE_PATH) + L"."));
        EXPECT_TRUE(capture.WaitFor(L"[ExpandFile] ！不正なパス\u3000展開先外への書き込みを拒否\u3000<"));
        EXPECT_TRUE(FileExists(dest + L"\\first.txt"));
        EXPECT_FALSE(FileExists(dest + L"\\last.txt"));
        EXPECT_FALSE(FileExists(dir / L"escaped.txt"));
        EXPECT_FALSE(FileExists(dir / L"out\\escaped.txt"));
        EXPECT_FALSE(FileExists(L"C:\\escaped.txt"));
        EXPECT_FALSE(FileExists(L"\\escaped.txt"));
    }
    EXPECT_TRUE(m_sleeps.empty());
}

TEST_F(ExpandTest, DotsInsideNamesAreNotEscapes)
{
    ASSERT_EQ(0, Build({File("a/..b/c..txt", "1"), File("..x/y", "2"), File("./z.txt", "3"),
                        File("console/com10.txt", "4")}));
    EXPECT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_EQ("1", ReadFileBytes(m_dest + L"\\a\\..b\\c..txt"));
    EXPECT_EQ("2", ReadFileBytes(m_dest + L"\\..x\\y"));
    EXPECT_EQ("3", ReadFileBytes(m_dest + L"\\z.txt"));
    EXPECT_EQ("4", ReadFileBytes(m_dest + L"\\console\\com10.txt"));
}

TEST_F(ExpandTest, StoredNamesOf260BytesOrMore)
{
    // Components stay short: only the whole name reaches the limit.
    std::string dir4 = std::string(60, 'd') + "/" + std::string(60, 'e') + "/" + std::string(60, 'f') + "/" +
                       std::string(60, 'g') + "/"; // 244 bytes
    std::string name259 = dir4 + std::string(11, 'n') + ".txt";
    std::string name260 = dir4 + std::string(12, 'n') + ".txt";
    ASSERT_EQ(259u, name259.size());
    // The destination must allow the long relative paths.
    std::wstring dest = L"\\\\?\\" + m_dest;
    {
        ASSERT_EQ(0, Build({File(name259, "fits")}));
        EXPECT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), dest.c_str()));
        std::wstring rel = FromUtf8(name259);
        for (wchar_t& c : rel)
            c = c == L'/' ? L'\\' : c;
        EXPECT_EQ("fits", ReadFileBytes(dest + L"\\" + rel));
    }
    for (const std::string& name : {name260, name260 + std::string(300, 'x')})
    {
        SCOPED_TRACE(name.size());
        TempDir dir;
        std::wstring zip = dir / L"in.zip";
        ASSERT_TRUE(WriteArchive(zip, {File(name, "too long")}));
        TraceCapture capture;
        EXPECT_EQ(ZEXP_ERR_NAME_TOO_LONG, ZLibExpand(zip.c_str(), (L"\\\\?\\" + (dir / L"out")).c_str()));
        EXPECT_TRUE(capture.WaitFor(L"[ExpandFile] ！ファイル名が長すぎます\u3000len=" +
                                    std::to_wstring(name.size()) + L"\u3000<dddd"));
        EXPECT_FALSE(FileExists(dir / L"out"));
    }
    {
        // With a record the stored name is never used.
        TempDir dir;
        std::wstring zip = dir / L"in.zip";
        Entry e = File(name260, "by record");
        e.localExtra = ExtraRecord(L"short.txt");
        ASSERT_TRUE(WriteArchive(zip, {e}));
        EXPECT_EQ(ERROR_OK, ZLibExpand(zip.c_str(), (dir / L"out").c_str()));
        EXPECT_EQ("by record", ReadFileBytes(dir / L"out\\short.txt"));
    }
}

TEST_F(ExpandTest, DataThatDoNotMatchTheirEntryFailAndAreNotLeftBehind)
{
    struct Case
    {
        const char* label;
        bool badCrc;
        unsigned sizeBeyond;
        unsigned long long claimedSize;
        int expected;
        const wchar_t* trace;
    };
    const Case cases[] = {
        {"CRC mismatch", true, 0, 0, ZEXP_ERR_CRC,
         L"[ExpandFile] ！unzCloseCurrentFile\u3000err=-105.\u3000CRC不一致\u3000crc="},
        // The library checks no CRC when the data end before the stored size.
        {"data short of the size", false, 10, 0, ZEXP_ERR_SIZE,
         L"[ExpandFile] ！データ不足\u3000size=34 read=24\u3000<"},
        // A bomb: a few bytes that claim a petabyte are refused before anything is written.
        {"claims more than the disk holds", false, 0, 1ULL << 50, ERROR_DISK_FULL,
         L"[ExpandFile] ！空き容量不足\u3000size=1125899906842624 free="},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        TempDir dir;
        std::wstring zip = dir / L"in.zip";
        std::wstring dest = dir / L"out";
        Entry bad = File("bad.txt", "these bytes do not match");
        bad.badCrc = c.badCrc;
        bad.sizeBeyond = c.sizeBeyond;
        bad.claimedSize = c.claimedSize;
        bad.externalAttr = FILE_ATTRIBUTE_READONLY; // removed all the same
        ASSERT_TRUE(WriteArchive(zip, {File("good.txt", "good"), bad, File("after.txt", "after")}));
        TraceCapture capture;
        EXPECT_EQ(c.expected, ZLibExpand(zip.c_str(), dest.c_str()));
        EXPECT_TRUE(capture.WaitFor(c.trace));
        EXPECT_TRUE(
            capture.WaitFor(L"[Expand] ！ExpandFile i=1\u3000rc=" + std::to_wstring(c.expected) + L"."));
        EXPECT_EQ("good", ReadFileBytes(dest + L"\\good.txt"));
        EXPECT_FALSE(FileExists(dest + L"\\bad.txt"));
        EXPECT_FALSE(FileExists(dest + L"\\after.txt"));
    }
}

TEST_F(ExpandTest, EmptyArchiveAndFolderMarkedOnlyByItsName)
{
    // The library finds no end record at offset 0: an archive without entries does not open.
    ASSERT_EQ(0, Build({}));
    EXPECT_EQ(kArchiveNotOpened, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_FALSE(FileExists(m_dest));

    ASSERT_EQ(0, Build({Folder("named/", 0), File("named/in.txt", "in")}));
    EXPECT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_EQ("in", ReadFileBytes(m_dest + L"\\named\\in.txt"));
    EXPECT_TRUE(m_sleeps.empty());
}

TEST_F(ExpandTest, CountField0xFFFFIsWalkedToTheEnd)
{
    ASSERT_EQ(0, Build({File("one.txt", "1"), File("two.txt", "2")}));
    std::string bytes = ReadFileBytes(m_zip);
    size_t eocd = bytes.rfind(std::string("PK\x05\x06", 4));
    ASSERT_NE(std::string::npos, eocd);
    // Both count fields of the end record.
    for (size_t ofs : {8, 10})
        bytes[eocd + ofs] = bytes[eocd + ofs + 1] = '\xFF';
    ASSERT_TRUE(WriteFileBytes(m_zip, bytes));
    TraceCapture capture;
    EXPECT_EQ(ERROR_OK, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_EQ("2", ReadFileBytes(m_dest + L"\\two.txt"));
    EXPECT_TRUE(capture.WaitFor(L"[Expand] unzGoToNextFile(2/2147483647)=-103.\u3000｛"));
    EXPECT_TRUE(capture.Contains(L"[Expand] gi.number_entry=65535."));
}

// An archive whose directory breaks, or says less than it holds, is not taken as complete: the
// walk must end exactly where the end record says the directory ends.
TEST_F(ExpandTest, DirectoryThatEndsBeforeItsEndFailsTheExpansion)
{
    struct Case
    {
        const char* label;
        void (*damage)(std::string& bytes, const std::vector<size_t>& records, size_t eocd);
        std::vector<const wchar_t*> written; // files that exist afterwards
        const wchar_t* trace;
    };
    const Case cases[] = {
        {"third record's signature broken",
         [](std::string& b, const std::vector<size_t>& r, size_t) { b[r[2] + 3] = '\x03'; },
         {L"a.txt", L"b.txt"},
         L"[Expand] ！unzGoToNextFile(2/4)=-103.\u3000中央ディレクトリ途中で終了\u3000pos="},
        {"third record broken, count 0xFFFF",
         [](std::string& b, const std::vector<size_t>& r, size_t eocd) {
             b[r[2] + 3] = '\x03';
             SetEntryCounts(b, eocd, '\xFF');
         },
         {L"a.txt", L"b.txt"},
         L"[Expand] ！unzGoToNextFile(2/2147483647)=-103.\u3000中央ディレクトリ途中で終了\u3000pos="},
        // The name is read from the end record's bytes: refused before anything of it is written.
        {"last record's name runs past the directory",
         [](std::string& b, const std::vector<size_t>& r, size_t) { b[r[3] + 28] += 12; },
         {L"a.txt", L"b.txt", L"sub\\c.txt"},
         L"[Expand] ！中央ディレクトリ破損\u3000i=3\u3000pos="},
        {"first record's name runs past the directory",
         [](std::string& b, const std::vector<size_t>& r, size_t) { b[r[0] + 29] = '\x01'; },
         {},
         L"[Expand] ！中央ディレクトリ破損\u3000i=0\u3000pos="},
        {"count of none for four records",
         [](std::string& b, const std::vector<size_t>&, size_t eocd) { SetEntryCounts(b, eocd, '\0'); },
         {},
         L"[Expand] ！中央ディレクトリ破損\u3000i=0\u3000pos="},
        {"count of two for four records",
         [](std::string& b, const std::vector<size_t>&, size_t eocd) { SetEntryCounts(b, eocd, '\x02'); },
         {L"a.txt", L"b.txt"},
         L"[Expand] ！unzGoToNextFile(2/2)=-100.\u3000中央ディレクトリ途中で終了\u3000pos="},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        TempDir dir;
        std::wstring zip = dir / L"in.zip";
        std::wstring dest = dir / L"out";
        ASSERT_TRUE(WriteArchive(zip, {File("a.txt", "a"), File("b.txt", "b"), File("sub/c.txt", "c"),
                                       File("sub/payload.txt", "payload")}));
        std::string bytes = ReadFileBytes(zip);
        std::vector<size_t> records;
        for (size_t at = bytes.find("PK\x01\x02"); at != std::string::npos;
             at = bytes.find("PK\x01\x02", at + 4))
            records.push_back(at);
        size_t eocd = bytes.rfind(std::string("PK\x05\x06", 4));
        ASSERT_EQ(4u, records.size());
        ASSERT_NE(std::string::npos, eocd);
        c.damage(bytes, records, eocd);
        ASSERT_TRUE(WriteFileBytes(zip, bytes));

        TraceCapture capture;
        EXPECT_EQ(ZEXP_ERR_DIRECTORY, ZLibExpand(zip.c_str(), dest.c_str()));
        EXPECT_TRUE(capture.WaitFor(c.trace));
        EXPECT_TRUE(capture.WaitFor(L"[ZLibExpand] \u3000end。\u3000\u3000ret=-815."));
        for (const wchar_t* name : {L"a.txt", L"b.txt", L"sub\\c.txt"})
        {
            bool expected = std::find_if(c.written.begin(), c.written.end(), [&](const wchar_t* w) {
                                return std::wstring(w) == name;
                            }) != c.written.end();
            EXPECT_EQ(expected, FileExists(dest + L"\\" + name)) << ToUtf8(name);
        }
        EXPECT_FALSE(FileExists(dest + L"\\sub\\payload.txt"));
    }
}

// The library takes an end record cut off by the end of the file, with fields of its own making:
// no bounds can be trusted, and nothing is expanded.
TEST_F(ExpandTest, EndRecordCutByTheEndOfTheFileIsRefused)
{
    ASSERT_EQ(0, Build({File("one.txt", "1"), File("two.txt", "2")}));
    std::string bytes = ReadFileBytes(m_zip);
    bytes.resize(bytes.size() - 2); // without the comment length
    ASSERT_TRUE(WriteFileBytes(m_zip, bytes));
    TraceCapture capture;
    EXPECT_EQ(ZEXP_ERR_END_RECORD, ZLibExpand(m_zip.c_str(), m_dest.c_str()));
    EXPECT_TRUE(capture.WaitFor(L"[ReadZipCentralDir] ！終端レコード不完全\u3000pos="));
    EXPECT_FALSE(FileExists(m_dest + L"\\one.txt"));
}

TEST_F(ExpandTest, LoopsWithoutArchiveOrDestination)
{
    EXPECT_EQ(kNoArchive, Expand(nullptr, m_dest.c_str()));
    EXPECT_EQ(kNoCurrentEntry, ExpandFile(nullptr, m_dest.c_str()));

    // An empty destination would put the entry at the root of the current drive.
    ASSERT_EQ(0, Build({File("rooted.txt", "x")}));
    zlib_filefunc64_def ff;
    FillWin32FileFunc64W(&ff);
    GpUnzFile archive(unzOpen2_64(m_zip.c_str(), &ff));
    ASSERT_TRUE(archive.IsValid());
    EXPECT_EQ(ZEXP_ERR_UNSAFE_PATH, ExpandFile(archive.Get(), L""));
    archive.Reset();
    EXPECT_FALSE(FileExists(L"\\rooted.txt"));
}
