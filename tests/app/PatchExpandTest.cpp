#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

#include "app/LumoAgentApp.h"
#include "common/ClientContract.h"
#include "common/CHashUtil.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/UninstallEntry.h"
#include "tests/zip/ZipFixture.h"
#include "tools/PatchBuilder/BuilderText.h"
#include "tools/PatchBuilder/PatchBuild.h"
#include "tools/PatchBuilder/ZipWriter.h"
#include "common/GpComHandles.h"
#include "zip/ZLibExpand.h"

using namespace lumotest;

namespace
{
FILETIME Now()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ft;
}

// What a case changes in an otherwise valid patch.
struct PatchCase
{
    const char* name;
    std::wstring version = L"6.70.0.1";
    std::wstring (*digest)(const std::wstring& good) = nullptr; // text from the real digest
    const wchar_t* sizeText = nullptr;                          // null: the real size
    bool innerIsNoArchive = false;                              // inner bytes are no ZIP archive
    BOOL expected = TRUE;
    int exitCode = 0;
    int extInfo = 0;
    std::wstring pid = L"QVC-E2E";
    bool innerIsBomb = false; // a few bytes that claim a petabyte
    // The inner archive's third directory record is damaged; size and digest are those of the
    // damaged bytes, as a faulty builder makes them.
    bool innerDirectoryBroken = false;
};

class PatchExpand : public ::testing::Test
{
protected:
    void SetUp() override { CreateDirectoryW((m_dir / L"Update").c_str(), nullptr); }

    // Builds QVClient_v*.zip for the case and answers its path.
    std::wstring Build(const PatchCase& c)
    {
        std::wstring inner = m_dir / L"inner.zip";
        if (c.innerIsNoArchive)
        {
            EXPECT_TRUE(WriteFileBytes(inner, std::string(1000, 'x')));
        }
        else if (c.innerIsBomb)
        {
            ziptest::Entry bomb = ziptest::File("PatchMain.exe", "MZ sample installer");
            bomb.claimedSize = 1ULL << 50;
            EXPECT_TRUE(ziptest::WriteArchive(inner, {bomb}));
        }
        else
        {
            ZipWriter zip;
            EXPECT_TRUE(zip.Create(inner));
            EXPECT_TRUE(zip.AddBytes("PatchMain.exe", {}, Now(), "MZ sample installer"));
            EXPECT_TRUE(zip.AddBytes("payload/readme.txt", {}, Now(), "hello"));
            if (c.innerDirectoryBroken)
            {
                EXPECT_TRUE(zip.AddBytes("data/sub/payload.txt", {}, Now(), "payload"));
            }
            EXPECT_TRUE(zip.Close());
        }
        if (c.innerDirectoryBroken)
        {
            std::string bytes = ReadFileBytes(inner);
            size_t at = bytes.rfind("PK\x01\x02");
            EXPECT_NE(std::string::npos, at);
            bytes[at + 3] = '\x03';
            EXPECT_TRUE(WriteFileBytes(inner, bytes));
        }
        BYTE digest[50] = {};
        EXPECT_EQ(37, CHashUtil::CalcHashOnce(inner.c_str(), digest));
        std::wstring good = HexText(digest, 20);
        std::string innerBytes = ReadFileBytes(inner);

        PatchBuildOptions options;
        options.pid = c.pid;
        options.version = c.version;
        options.rangeBegin = L"6.60.0.0";
        options.rangeEnd = L"6.69.9.9";
        std::wstring sizeText = c.sizeText ? c.sizeText : std::to_wstring(innerBytes.size());
        std::string config = MakePatchConfig(options, c.digest ? c.digest(good) : good, sizeText);

        std::wstring patch = m_dir / L"QVClient_v6.70.0.1.zip";
        ZipWriter zip;
        EXPECT_TRUE(zip.Create(patch));
        EXPECT_TRUE(zip.AddBytes("PatchConfig.xml", {}, Now(), config));
        EXPECT_TRUE(zip.AddBytes("x86/common/x86_common.zip", {}, Now(), innerBytes));
        EXPECT_TRUE(zip.Close());
        return patch;
    }

    std::wstring UpdateDir() const { return m_dir / L"Update\\"; }
    // An empty update folder for the next case of a table.
    void ResetUpdateDir()
    {
        RemoveTree(m_dir / L"Update");
        CreateDirectoryW((m_dir / L"Update").c_str(), nullptr);
    }

    GpComApartment m_com; // the expansion reads the patch's XML through COM
    TempDir m_dir;
};

std::wstring Upper(const std::wstring& good)
{
    std::wstring s = good;
    for (auto& ch : s)
        ch = static_cast<wchar_t>(towupper(ch));
    return s;
}
std::wstring HundredDigits(const std::wstring& good)
{
    return good + std::wstring(60, L'7');
}
std::wstring OverHundredDigits(const std::wstring& good)
{
    return good + std::wstring(62, L'7');
}
std::wstring NonHexAtEvenPosition(const std::wstring& good)
{
    return good.substr(0, 10) + L"g" + good.substr(11);
}
std::wstring OtherDigest(const std::wstring& good)
{
    return std::wstring(good.size(), L'0');
}
std::wstring Empty(const std::wstring&)
{
    return L"";
}
} // namespace

TEST_F(PatchExpand, VerifiedPatchExpandsIntoTheUpdateFolder)
{
    std::wstring patch = Build(PatchCase{"valid"});
    LumoAgentApp app;
    ASSERT_TRUE(app.ExpandPatch(patch.c_str(), UpdateDir().c_str()));
    EXPECT_EQ(0, app.m_nExitCode);
    EXPECT_STREQ(L"QVC-E2E", app.m_strProduct.c_str());
    EXPECT_STREQ(L"6.70.0.1", app.m_strVersion.c_str());
    EXPECT_EQ("MZ sample installer", ReadFileBytes(UpdateDir() + L"PatchMain.exe"));
    EXPECT_EQ("hello", ReadFileBytes(UpdateDir() + L"payload\\readme.txt"));
    EXPECT_FALSE(FileExists(UpdateDir() + L"Work")) << "the work folder is removed after success";
}

TEST_F(PatchExpand, VerificationOutcomes)
{
    PatchCase cases[] = {
        {"uppercase digest", L"6.70.0.1", Upper},
        {"100 digits, first 40 count", L"6.70.0.1", HundredDigits},
        {"over 100 digits", L"6.70.0.1", OverHundredDigits, nullptr, false, FALSE, 8,
         ERROR_SXS_FILE_HASH_MISMATCH},
        {"non-hex digit", L"6.70.0.1", NonHexAtEvenPosition, nullptr, false, FALSE, 8,
         ERROR_SXS_FILE_HASH_MISMATCH},
        {"other digest", L"6.70.0.1", OtherDigest, nullptr, false, FALSE, 8, ERROR_SXS_FILE_HASH_MISMATCH},
        {"empty digest", L"6.70.0.1", Empty, nullptr, false, FALSE, 8, ERROR_SXS_FILE_HASH_MISMATCH},
        {"empty size", L"6.70.0.1", nullptr, L"", false, FALSE, 8, ERROR_SXS_FILE_HASH_MISMATCH},
        {"size one short", L"6.70.0.1", nullptr, L"1", false, FALSE, 8, ERROR_SXS_FILE_HASH_MISMATCH},
        {"no version", L"", nullptr, nullptr, false, FALSE, 8, ERROR_FILE_INVALID},
    };
    for (const PatchCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::wstring patch = Build(c);
        LumoAgentApp app;
        EXPECT_EQ(c.expected, app.ExpandPatch(patch.c_str(), UpdateDir().c_str()));
        EXPECT_EQ(c.exitCode, app.m_nExitCode);
        EXPECT_EQ(c.extInfo, app.m_nExtInfo);
        EXPECT_EQ(c.expected != FALSE, FileExists(UpdateDir() + L"PatchMain.exe"))
            << "nothing unverified is expanded";
        if (c.version.empty())
        {
            EXPECT_TRUE(app.m_strProduct.IsEmpty() && app.m_strVersion.IsEmpty());
        }
        ResetUpdateDir();
    }
}

TEST_F(PatchExpand, MatchingInnerArchiveThatCannotBeExpandedKeepsTheWorkFolder)
{
    PatchCase c{"no archive"};
    c.innerIsNoArchive = true;
    std::wstring patch = Build(c);
    TraceCapture capture;
    LumoAgentApp app;
    EXPECT_FALSE(app.ExpandPatch(patch.c_str(), UpdateDir().c_str()));
    EXPECT_EQ(8, app.m_nExitCode);
    EXPECT_NE(0, app.m_nExtInfo);
    EXPECT_NE(37, app.m_nExtInfo);
    EXPECT_TRUE(FileExists(UpdateDir() + L"Work\\PatchConfig.xml"));
    EXPECT_TRUE(capture.WaitFor(L"x86_common.zip)\u3000rc="));
}

TEST_F(PatchExpand, MissingPatchFailsWithTheExpansionResult)
{
    LumoAgentApp app;
    EXPECT_FALSE(app.ExpandPatch((m_dir / L"none.zip").c_str(), UpdateDir().c_str()));
    EXPECT_EQ(8, app.m_nExitCode);
    EXPECT_EQ(2, app.m_nExtInfo);
}

// What the patch says of itself reaches the client's status file as one section name and one
// value, or the patch is refused.
TEST_F(PatchExpand, ProductTextsThatWouldAddToTheStatusFileAreRefused)
{
    struct Case
    {
        const char* name;
        std::wstring pid, version;
        const wchar_t* trace; // null: accepted
    } cases[] = {
        {"line break in Pid", L"QVC\r\n[Injected]", L"6.70.0.1",
         L"！config err. product id holds U+000D at 3."},
        {"bracket in Pid", L"QVC]x", L"6.70.0.1", L"！config err. product id holds U+005D at 3."},
        {"line feed in Version", L"QVC", L"6.70\nUpdateStatus=3",
         L"！config err. version holds U+000A at 4."},
        {"equals sign in Version", L"QVC", L"6.70=1", L"！config err. version holds U+003D at 4."},
        {"tab in Version", L"QVC", L"6.70\t1", L"！config err. version holds U+0009 at 4."},
        {"blank and dash", L"QVC Client-E2E", L"6.70.0.1 beta", nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        PatchCase pc{c.name};
        pc.pid = c.pid;
        pc.version = c.version;
        std::wstring patch = Build(pc);
        TraceCapture capture;
        LumoAgentApp app;
        EXPECT_EQ(c.trace == nullptr, app.ExpandPatch(patch.c_str(), UpdateDir().c_str()) != FALSE);
        if (c.trace != nullptr)
        {
            EXPECT_EQ(8, app.m_nExitCode);
            EXPECT_EQ(ERROR_FILE_INVALID, app.m_nExtInfo);
            EXPECT_TRUE(capture.WaitFor(std::wstring(L"[LumoAgentApp::GetPatchInfo] ") + c.trace));
            EXPECT_TRUE(app.m_strProduct.IsEmpty() && app.m_strVersion.IsEmpty());
            EXPECT_FALSE(FileExists(UpdateDir() + L"PatchMain.exe"));
        }
        else
        {
            EXPECT_EQ(c.pid, app.m_strProduct.c_str());
            EXPECT_EQ(c.version, app.m_strVersion.c_str());
        }
        ResetUpdateDir();
    }
}

// A bomb inside the verified inner archive fails the update with the expansion's code and
// leaves nothing under the installer's name.
TEST_F(PatchExpand, InnerArchiveClaimingMoreThanTheDiskFailsTheUpdate)
{
    PatchCase c{"bomb"};
    c.innerIsBomb = true;
    std::wstring patch = Build(c);
    TraceCapture capture;
    LumoAgentApp app;
    EXPECT_FALSE(app.ExpandPatch(patch.c_str(), UpdateDir().c_str()));
    EXPECT_EQ(8, app.m_nExitCode);
    EXPECT_EQ(ERROR_DISK_FULL, app.m_nExtInfo);
    EXPECT_TRUE(capture.WaitFor(L"[ExpandFile] ！空き容量不足\u3000size=1125899906842624 free="));
    EXPECT_FALSE(FileExists(UpdateDir() + L"PatchMain.exe"));
}

// An inner archive whose directory breaks after two of its three entries passes its (faulty)
// size and digest, and still stops the road: the installer is never started.
TEST_F(PatchExpand, InnerArchiveWithABrokenDirectoryStopsTheRoadBeforeTheInstaller)
{
    PatchCase c{"broken directory"};
    c.innerDirectoryBroken = true;
    std::wstring patch = Build(c);
    TempDir install;
    ASSERT_TRUE(CreateDirectoryW((install / L"Lumo").c_str(), nullptr));
    UninstallEntry entry(CLIENT_PRODUCT_KEY_32, install.Path() + L"\\");
    ASSERT_TRUE(entry.Ok());
    std::wstring cmd = L"/Agent /sn";
    LumoAgentApp app;
    app.m_lpCmdLine = cmd.c_str();
    app.SetRunMode();
    lstrcpyW(app.m_szPatchPath, patch.c_str());
    lstrcpyW(app.m_szPatchName, L"QVClient_v6.70.0.1.zip");

    TraceCapture capture;
    EXPECT_FALSE(app.AgentProgress());
    EXPECT_EQ(8, app.m_nExitCode);
    EXPECT_EQ(ZEXP_ERR_DIRECTORY, app.m_nExtInfo);
    EXPECT_TRUE(
        capture.WaitFor(L"[Expand] ！unzGoToNextFile(2/3)=-103.\u3000中央ディレクトリ途中で終了\u3000pos="));
    EXPECT_TRUE(capture.WaitFor(L"x86_common.zip)\u3000rc=-815."));
    EXPECT_TRUE(capture.Messages(L"Wait Start hProcess=").empty()) << "the installer must not run";
    EXPECT_TRUE(capture.Messages(L"[LumoAgentApp::StartUpdate]").empty());
    std::wstring update = install.Path() + L"\\Lumo\\QuoveraClient\\";
    EXPECT_FALSE(FileExists(update + L"data\\sub\\payload.txt"));
}

// An update folder long enough that the inner archive's path does not fit its bound: refused as a
// long path, never taken for another (cut) path and reported as a hash mismatch. Without the
// long-path prefix the expansion refuses the entry itself; with it the expansion takes the path,
// and the path of the inner archive is refused where it is made (Wine's XML reader does not load a
// prefixed path, so there the configuration fails first: only "not a mismatch" holds everywhere).
TEST_F(PatchExpand, InnerArchivePathBeyondItsBoundIsALongPathError)
{
    struct Case
    {
        const char* name;
        const wchar_t* prefix;
        int extInfo; // 0: any failure but a mismatch
        const wchar_t* trace;
    } cases[] = {
        {"plain path", L"", ERROR_FILENAME_EXCED_RANGE,
         L"[ExpandFile] ！CheckPathLimit\u3000err=206.\u3000｛"},
        {"long-path prefix", L"\\\\?\\", 0, nullptr},
    };
    std::wstring patch = Build(PatchCase{"long path"});
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        // The work folder's configuration path stays below 260 characters, the inner archive's not.
        std::wstring update =
            std::wstring(c.prefix) + m_dir.Path() + (c.prefix[0] != L'\0' ? L"\\prefixed\\" : L"\\plain\\");
        ASSERT_LT(update.size(), 200u);
        update += std::wstring(260 - 5 - 16 - 1 - update.size(), L'd') + L"\\";
        std::wstring work = update + L"Work\\";
        ASSERT_LT(work.size() + 15, 260u);
        ASSERT_GE(work.size() + 25, 260u);

        TraceCapture capture;
        LumoAgentApp app;
        EXPECT_FALSE(app.ExpandPatch(patch.c_str(), update.c_str()));
        EXPECT_EQ(8, app.m_nExitCode);
        EXPECT_NE(14028, app.m_nExtInfo);
        if (c.extInfo != 0)
        {
            EXPECT_EQ(c.extInfo, app.m_nExtInfo);
        }
        if (c.trace != nullptr)
        {
            EXPECT_TRUE(capture.WaitFor(c.trace));
        }
        EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::")); // the step's own failure line
        EXPECT_TRUE(capture.Messages(L"PatchInfoCheck エラー").empty());
        EXPECT_FALSE(FileExists(update + L"PatchMain.exe"));
    }
}
