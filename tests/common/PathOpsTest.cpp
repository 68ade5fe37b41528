#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/GpHandles.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "tests/support/HostLink.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
bool IsDir(const std::wstring& p)
{
    DWORD a = GetFileAttributesW(p.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Folders the call tried to create, in order, from its trace records.
std::vector<std::wstring> CreateCalls(const TraceCapture& capture)
{
    std::vector<std::wstring> out;
    for (const std::wstring& m : capture.Messages(L"CreateDirectory call."))
    {
        size_t a = m.find(L'<'), b = m.rfind(L'>');
        out.push_back(m.substr(a + 1, b - a - 1));
    }
    return out;
}
} // namespace

TEST(CheckPathLimit, LimitsOfBothForms)
{
    std::wstring longPrefix = L"\\\\?\\C:\\";
    struct Case
    {
        std::wstring path;
        int result;
    } cases[] = {
        {L"C:\\" + std::wstring(256, L'a'), ERROR_OK},                          // 259
        {L"C:\\" + std::wstring(257, L'a'), ERROR_FILENAME_EXCED_RANGE},        // 260
        {longPrefix + std::wstring(31999 - longPrefix.size(), L'a'), ERROR_OK}, // 31 999
        {longPrefix + std::wstring(32000 - longPrefix.size(), L'a'), ERROR_FILENAME_EXCED_RANGE},
        {L"\\\\?\\UNC\\pc\\share\\" + std::wstring(1000, L'a'), ERROR_OK},
        {L"", ERROR_BAD_PATHNAME},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path.size());
        EXPECT_EQ(c.result, CheckPathLimit(c.path.c_str()));
    }
    TraceCapture capture;
    EXPECT_EQ(ERROR_BAD_PATHNAME, CheckPathLimit(nullptr));
    EXPECT_TRUE(capture.WaitFor(L"[CheckPathLimit] ！ISVALID_PSTR\u3000｛"));
}

TEST(MakeSubDir, LocalAndLongFormsCreateEveryMissingLevel)
{
    TempDir dir;
    CreateDirectoryW((dir / L"a").c_str(), nullptr);
    struct Case
    {
        std::wstring path;
        int result;
        std::wstring mustExist; // empty: nothing to check
        std::wstring mustNotExist;
    } cases[] = {
        {dir / L"a\\b\\c.txt", ERROR_OK, dir / L"a\\b", dir / L"a\\b\\c.txt"},
        {dir / L"a\\b\\c.txt", ERROR_NON, dir / L"a\\b", L""},
        {dir / L"a\\x", ERROR_NON, L"", dir / L"a\\x"}, // the last component is a file name
        {dir / L"n1\\n2\\n3\\", ERROR_OK, dir / L"n1\\n2\\n3", L""},
        {L"\\\\?\\" + (dir / L"x\\y\\"), ERROR_OK, dir / L"x\\y", L""},
        {L"\\\\?\\" + (dir / L"x\\y\\z\\f"), ERROR_OK, dir / L"x\\y\\z", dir / L"x\\y\\z\\f"},
        {L"C:\\", ERROR_NON, L"", L""},
        {L"abcd", ERROR_BAD_PATHNAME, L"", L""},
        {L"\\\\pc", ERROR_BAD_PATHNAME, L"", L""},
        {L"\\\\pc\\share", ERROR_BAD_PATHNAME, L"", L""},
        {L"\\\\?\\UNC\\pc", ERROR_BAD_PATHNAME, L"", L""},
        {L"\\\\?\\C:", ERROR_BAD_PATHNAME, L"", L""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ToUtf8(c.path));
        EXPECT_EQ(c.result, MakeSubDir(c.path.c_str()));
        EXPECT_TRUE(c.mustExist.empty() || IsDir(c.mustExist));
        EXPECT_TRUE(c.mustNotExist.empty() || !FileExists(c.mustNotExist));
    }
}

TEST(MakeSubDir, NetworkFormNeverCreatesComputerOrShare)
{
    struct Case
    {
        std::wstring path;
        std::wstring firstTried;
    } cases[] = {
        {L"\\\\nopc\\share\\d1\\d2\\", L"\\\\nopc\\share\\d1"},
        {L"\\\\?\\UNC\\nopc\\share\\d1\\d2\\f.txt", L"\\\\?\\UNC\\nopc\\share\\d1"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ToUtf8(c.path));
        TraceCapture capture;
        int rc = MakeSubDir(c.path.c_str());
        // The share does not exist, so nothing could be created: never reported as done.
        EXPECT_NE(ERROR_OK, rc);
        EXPECT_NE(ERROR_NON, rc);
        ASSERT_TRUE(capture.WaitFor(L"CreateDirectory call."));
        ASSERT_TRUE(capture.WaitFor(L"[MakeSubDir] ！CreateDirectory"));
        std::vector<std::wstring> tried = CreateCalls(capture);
        ASSERT_FALSE(tried.empty());
        EXPECT_EQ(c.firstTried, tried[0]);
        EXPECT_TRUE(capture.Contains(L"[MakeSubDir] NW除去=<d1\\d2\\"));
    }
}

TEST(MakeSubDir, UncreatableParentIsAFailure)
{
    TempDir dir;
    WriteFileBytes(dir / L"file", "x");
    // A missing drive and a file where a folder should be: nothing is created, nothing reported as done.
    const std::wstring paths[] = {L"Q:\\lumo_none\\a\\b\\", dir / L"file\\sub\\f.txt"};
    for (const std::wstring& p : paths)
    {
        SCOPED_TRACE(ToUtf8(p));
        int rc = MakeSubDir(p.c_str());
        EXPECT_NE(ERROR_OK, rc);
        EXPECT_NE(ERROR_NON, rc);
    }
}

TEST(MakeSubDir, ConcurrentCallersAllSucceed)
{
    TempDir dir;
    std::wstring path = dir / L"r1\\r2\\r3\\r4\\r5\\file.bin";
    std::vector<int> results(6, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); i++)
        threads.emplace_back([&, i] { results[i] = MakeSubDir(path.c_str()); });
    for (auto& t : threads)
        t.join();
    for (int rc : results)
        EXPECT_TRUE(rc == ERROR_OK || rc == ERROR_NON) << rc;
    EXPECT_TRUE(IsDir(dir / L"r1\\r2\\r3\\r4\\r5"));
}

TEST(FileSize, SizeAndSeekOfAFile)
{
    TempDir dir;
    std::wstring file = dir / L"five.bin";
    WriteFileBytes(file, "12345");
    ULONGLONG size = 0;
    EXPECT_TRUE(GetFileSize64(file.c_str(), size));
    EXPECT_EQ(5u, size);

    GpFile h(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(h.IsValid());
    EXPECT_EQ(5, Seek64(h.Get(), 0, FILE_END));
    EXPECT_EQ(0, Seek64(h.Get(), 0, FILE_BEGIN));

    TraceCapture capture;
    EXPECT_FALSE(GetFileSize64((dir / L"none").c_str(), size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(-1, Seek64(INVALID_HANDLE_VALUE, 0, FILE_END));
    EXPECT_NE(0u, GetLastError());
    EXPECT_TRUE(capture.WaitFor(L"[GetFileSize64] ！GetAttr<"));
    EXPECT_TRUE(capture.WaitFor(L"[Seek64] ！SetFilePointerEx\u3000｛"));
}

TEST(ShDelete, DeletesFoldersWithContentAndFiles)
{
    TempDir dir;
    CreateDirectoryW((dir / L"f").c_str(), nullptr);
    CreateDirectoryW((dir / L"f\\inner").c_str(), nullptr);
    WriteFileBytes(dir / L"f\\inner\\x.txt", "x");
    WriteFileBytes(dir / L"g.txt", "g");
    WriteFileBytes(dir / L"keep.txt", "k");
    EXPECT_EQ(ERROR_OK, ShDelete((dir / L"f").c_str()));
    EXPECT_EQ(ERROR_OK, ShDelete((dir / L"g.txt").c_str()));
    EXPECT_FALSE(FileExists(dir / L"f"));
    EXPECT_FALSE(FileExists(dir / L"g.txt"));
    EXPECT_TRUE(FileExists(dir / L"keep.txt"));

    // No path deletes nothing.
    EXPECT_EQ(ERROR_NON, ShDelete(nullptr));
    EXPECT_EQ(ERROR_NON, ShDelete(L""));
    EXPECT_TRUE(FileExists(dir / L"keep.txt"));

    // A failure is the Windows error itself, also left as the last error.
    TraceCapture capture;
    EXPECT_EQ(static_cast<int>(ERROR_FILE_NOT_FOUND), ShDelete((dir / L"none").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(capture.WaitFor(L"[ShDelete] ！SHFileOperation from=<" + (dir / L"none") + L">"));
}

// Links met by the deleter, in the forms the platform can make. Under Wine 8 only a host symbolic
// link exists: a folder link shows FILE_ATTRIBUTE_REPARSE_POINT, but every handle opened on it is
// the folder it points to, so it cannot be removed as a link and the deleter leaves it (and what it
// points to) alone. A Windows link would be removed.
enum class LinkKind
{
    Host,
    Symbolic,
    Junction
};

bool MakeFolderLink(LinkKind kind, const std::wstring& link, const std::wstring& target)
{
    switch (kind)
    {
    case LinkKind::Host:
        return MakeHostLink(link, target);
    case LinkKind::Symbolic:
        return CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 2) &&
               FileExists(link); // Wine 8 answers TRUE and makes nothing
    case LinkKind::Junction: {
        if (!CreateDirectoryW(link.c_str(), nullptr))
            return false;
        GpFile h(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        std::wstring sub = L"\\??\\" + target;
        std::vector<BYTE> buf(16 + (sub.size() + target.size() + 2) * sizeof(wchar_t));
        auto* p = reinterpret_cast<USHORT*>(buf.data());
        *reinterpret_cast<ULONG*>(p) = IO_REPARSE_TAG_MOUNT_POINT;
        p[2] = static_cast<USHORT>(buf.size() - 8);
        p[4] = 0;
        p[5] = static_cast<USHORT>(sub.size() * sizeof(wchar_t));
        p[6] = static_cast<USHORT>(p[5] + sizeof(wchar_t));
        p[7] = static_cast<USHORT>(target.size() * sizeof(wchar_t));
        memcpy(p + 8, sub.c_str(), p[5]);
        memcpy(reinterpret_cast<BYTE*>(p + 8) + p[6], target.c_str(), p[7]);
        DWORD cb = 0;
        bool ok =
            h && DeviceIoControl(h.Get(), FSCTL_SET_REPARSE_POINT, buf.data(), static_cast<DWORD>(buf.size()),
                                 nullptr, 0, &cb, nullptr); // Wine 8: ERROR_NOT_SUPPORTED
        h.Reset();
        if (!ok)
            RemoveDirectoryW(link.c_str());
        return ok;
    }
    }
    return false;
}

const char* KindName(LinkKind kind)
{
    return kind == LinkKind::Host ? "HostSymlink" : kind == LinkKind::Symbolic ? "SymbolicLink" : "Junction";
}

void PrintTo(LinkKind kind, std::ostream* os)
{
    *os << KindName(kind);
}

class ShDeleteLinks : public ::testing::TestWithParam<LinkKind>
{
protected:
    void SetUp() override
    {
        if (GetParam() == LinkKind::Host && !HostAvailable())
            GTEST_SKIP() << "needs Wine's host entries";
        ASSERT_TRUE(WriteFileBytes(m_target / L"precious.txt", "keep"));
    }
    // After a link was left behind: remove it as the host sees it, so that no test follows it.
    void TearDown() override
    {
        if (GetParam() == LinkKind::Host && HostAvailable())
            HostShell(m_dir.Path(), "find . -type l -delete");
    }
    // The deleter removed the link, or (Wine) refused to and said so; what it points to stays.
    void ExpectLinkHandled(int rc, const std::wstring& link, TraceCapture& trace)
    {
        if (rc == ERROR_OK)
        {
            EXPECT_FALSE(FileExists(link));
        }
        else
        {
            EXPECT_EQ(static_cast<int>(ERROR_NOT_A_REPARSE_POINT), rc);
            EXPECT_TRUE(trace.WaitFor(L"[ShDelete] ！RemoveLink\u3000｛"));
        }
        EXPECT_EQ("keep", ReadFileBytes(m_target / L"precious.txt"));
        EXPECT_TRUE(IsDir(m_empty.Path()));
    }
    TempDir m_dir, m_target, m_empty;
};

TEST_P(ShDeleteLinks, LinkInsideAFolderIsNotFollowed)
{
    std::wstring tree = m_dir / L"tree";
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(tree + L"\\own.txt", "x"));
    if (!MakeFolderLink(GetParam(), tree + L"\\link", m_target.Path()))
        GTEST_SKIP() << "this platform cannot make that link";
    ASSERT_TRUE(MakeFolderLink(GetParam(), tree + L"\\link2", m_empty.Path()));
    TraceCapture trace;
    int rc = ShDelete(tree.c_str());
    ExpectLinkHandled(rc, tree + L"\\link", trace);
    EXPECT_FALSE(FileExists(tree + L"\\own.txt"));
    EXPECT_TRUE(trace.WaitFor(L"[ShDelete] リンクはリンクとして削除\u3000<"));
}

TEST_P(ShDeleteLinks, ListedLinkIsRemovedAsALink)
{
    // An empty target is what a delete through the link would remove without a trace.
    std::wstring link = m_dir / L"link";
    if (!MakeFolderLink(GetParam(), link, m_empty.Path()))
        GTEST_SKIP() << "this platform cannot make that link";
    TraceCapture trace;
    ExpectLinkHandled(ShDelete(link.c_str()), link, trace);
    std::wstring link2 = m_dir / L"link2";
    ASSERT_TRUE(MakeFolderLink(GetParam(), link2, m_target.Path()));
    ExpectLinkHandled(ShDelete(link2.c_str()), link2, trace);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ShDeleteLinks,
                         ::testing::Values(LinkKind::Host, LinkKind::Symbolic, LinkKind::Junction),
                         [](const auto& info) { return std::string(KindName(info.param)); });

TEST(ShDelete, FileLinkGoesAndItsTargetStays)
{
    if (!HostAvailable())
        GTEST_SKIP() << "needs Wine's host entries";
    TempDir dir, other;
    ASSERT_TRUE(WriteFileBytes(other / L"target.txt", "keep"));
    ASSERT_TRUE(CreateDirectoryW((dir / L"tree").c_str(), nullptr));
    ASSERT_TRUE(MakeHostLink(dir / L"tree\\f.lnk", other / L"target.txt"));
    // Wine 8 shows a host link to a file as the file itself (attributes 0x20, no reparse tag, every
    // handle the target's), and DeleteFileW of it deletes the target: nothing on the Windows side
    // can tell, so this runs only where the link is visible as one.
    if (!(GetFileAttributesW((dir / L"tree\\f.lnk").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT))
    {
        HostShell(dir.Path(), "rm tree/f.lnk");
        GTEST_SKIP() << "a host link to a file is not visible as a link here";
    }
    EXPECT_EQ(ERROR_OK, ShDelete((dir / L"tree").c_str()));
    EXPECT_FALSE(FileExists(dir / L"tree"));
    EXPECT_EQ("keep", ReadFileBytes(other / L"target.txt"));
}

TEST(ShDelete, DeepTreeAndReadOnlyEntriesGo)
{
    TempDir dir;
    // Deeper than 260 characters, which the long form reaches.
    std::wstring path = dir / L"deep";
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    std::wstring leaf = L"\\\\?\\" + path;
    for (int i = 0; i < 60; i++)
    {
        leaf += L"\\level";
        ASSERT_TRUE(CreateDirectoryW(leaf.c_str(), nullptr)) << i;
    }
    ASSERT_TRUE(WriteFileBytes(leaf + L"\\ro.txt", "x"));
    ASSERT_TRUE(SetFileAttributesW((leaf + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ERROR_OK, ShDelete(path.c_str()));
    EXPECT_FALSE(FileExists(path));
}
