// QvPatchBuilder run as a real program: what it packs, what it refuses, and its verdicts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/CHashUtil.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "tests/support/HostLink.h"
#include "tests/support/TestUtil.h"
#include "tools/PatchBuilder/PatchBuild.h"
#include "tools/PatchBuilder/ZexlRecord.h"
#include "tools/PatchBuilder/ZipWriter.h"
#include "xml/CPatchXml.h"
#include "common/GpComHandles.h"
#include "zip/ZLibExpand.h"
#include "zip/GpUnzFile.h"
#include "zip/ZLibFileFunc.h"

using namespace lumotest;

namespace
{
struct BuilderRun
{
    DWORD exitCode = 0xFFFFFFFF;
    std::string output; // stdout and stderr, UTF-8
};

// Runs the builder with its output in a file of the test folder.
BuilderRun RunBuilder(const TempDir& dir, const std::wstring& args)
{
    BuilderRun run;
    std::wstring outFile = dir / L"builder-output.txt";
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    GpFile out(CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                           CREATE_ALWAYS, 0, nullptr));
    if (!out)
        return run;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out.Get();
    si.hStdError = out.Get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = Quote(BinPath(L"QvPatchBuilder.exe")) + L" " + args;
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi))
        return run;
    GpKernelHandle process(pi.hProcess);
    GpKernelHandle thread(pi.hThread);
    if (WaitForSingleObject(pi.hProcess, 120000) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 0xFFFFFFFF);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    out.Reset();
    run.output = ReadFileBytes(outFile);
    return run;
}

// A source folder as a release engineer hands it over.
void MakeSource(const std::wstring& src, bool bWithInstaller, bool bJapaneseName)
{
    CreateDirectoryW(src.c_str(), nullptr);
    CreateDirectoryW((src + L"\\payload").c_str(), nullptr);
    CreateDirectoryW((src + L"\\payload\\empty").c_str(), nullptr);
    if (bWithInstaller)
        WriteFileBytes(src + L"\\PatchMain.exe", std::string("MZ installer stand-in\0\x01\x02", 24));
    WriteFileBytes(src + L"\\payload\\client.dll", std::string(70000, 'c'));
    if (bJapaneseName)
        WriteFileBytes(src + L"\\payload\\設定\u3000ファイル.txt", "日本語");
}

struct Entry
{
    std::string name;
    std::vector<BYTE> localExtra;
    std::string data;
};

std::vector<Entry> ReadArchive(const std::wstring& path)
{
    std::vector<Entry> entries;
    zlib_filefunc64_def funcs;
    FillWin32FileFunc64W(&funcs);
    GpUnzFile archive(unzOpen2_64(path.c_str(), &funcs));
    if (!archive)
        return entries;
    unzFile uf = archive.Get();
    for (int rc = unzGoToFirstFile(uf); rc == UNZ_OK; rc = unzGoToNextFile(uf))
    {
        Entry e;
        char szName[512];
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(uf, &info, szName, sizeof(szName), nullptr, 0, nullptr, 0) != UNZ_OK ||
            unzOpenCurrentFile(uf) != UNZ_OK)
            break;
        e.name = szName;
        int cbExtra = unzGetLocalExtrafield(uf, nullptr, 0);
        if (cbExtra > 0)
        {
            e.localExtra.resize(cbExtra);
            unzGetLocalExtrafield(uf, e.localExtra.data(), cbExtra);
        }
        char buf[65536];
        int n;
        while ((n = unzReadCurrentFile(uf, buf, sizeof(buf))) > 0)
            e.data.append(buf, n);
        unzCloseCurrentFile(uf);
        entries.push_back(e);
    }
    return entries;
}

std::wstring Hex(const BYTE* p, size_t n)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring s;
    for (size_t i = 0; i < n; i++)
    {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::wstring Upper(std::wstring s)
{
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(towupper(c));
    return s;
}

class PatchBuilderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_com.Entered()); }

    std::wstring BuildArgs(const std::wstring& extra = L"") const
    {
        return L"build " + Quote(L"/src=" + m_dir / L"src") +
               L" /pid=QVC-64 /version=6.72.0.1 /begin=6.60.0.0 " + L"/end=6.71.9.9 " +
               Quote(L"/out=" + m_dir / L"out") + L" " + extra;
    }
    // The output folder does not exist before the first build.
    std::wstring Patch() const { return m_dir / L"out\\QVClient_v6.72.0.1.zip"; }

    GpComApartment m_com; // first in, last out
    TempDir m_dir;
};
} // namespace

TEST_F(PatchBuilderTest, BuildsTheLayoutTheAgentExpandsAndVerifiesIt)
{
    MakeSource(m_dir / L"src", true, true);
    BuilderRun built = RunBuilder(m_dir, BuildArgs(L"/zexl"));
    ASSERT_EQ(0u, built.exitCode) << built.output;

    std::vector<Entry> outer = ReadArchive(Patch());
    ASSERT_EQ(2u, outer.size());
    EXPECT_EQ("PatchConfig.xml", outer[0].name);
    EXPECT_EQ("x86/common/x86_common.zip", outer[1].name);

    // The configuration, read by the agent's reader, describes the inner archive exactly.
    std::wstring work = m_dir / L"work\\";
    ASSERT_EQ(ERROR_OK, ZLibExpand(Patch().c_str(), work.c_str()));
    CPatchXml xml;
    ASSERT_TRUE(xml.Load((work + L"PatchConfig.xml").c_str()));
    ASSERT_TRUE(xml.Parse());
    EXPECT_STREQ(L"QVC-64", xml.GetProductInfo().Pid);
    EXPECT_STREQ(L"6.72.0.1", xml.GetProductInfo().Version);
    EXPECT_STREQ(L"6.60.0.0", xml.GetProductInfo().RangeBegin);
    EXPECT_STREQ(L"6.71.9.9", xml.GetProductInfo().RangeEnd);
    std::wstring inner = work + L"x86\\common\\x86_common.zip";
    BYTE digest[20];
    ASSERT_EQ(ERROR_OK, CHashUtil::CalcHashOnce(inner.c_str(), digest));
    EXPECT_EQ(Hex(digest, 20), std::wstring(xml.GetPatchFileInfo().Digest));
    EXPECT_EQ(outer[1].data.size(), static_cast<size_t>(xml.GetPatchFileInfo().Size));

    // The inner archive gives back the source tree, the Unicode name through its record.
    std::wstring update = m_dir / L"update\\";
    ASSERT_EQ(ERROR_OK, ZLibExpand(inner.c_str(), update.c_str()));
    EXPECT_EQ(ReadFileBytes(m_dir / L"src\\PatchMain.exe"), ReadFileBytes(update + L"PatchMain.exe"));
    EXPECT_EQ(std::string(70000, 'c'), ReadFileBytes(update + L"payload\\client.dll"));
    EXPECT_EQ("日本語", ReadFileBytes(update + L"payload\\設定\u3000ファイル.txt"));
    DWORD dwAttr = GetFileAttributesW((update + L"payload\\empty").c_str());
    EXPECT_TRUE(dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY));

    BuilderRun verified = RunBuilder(m_dir, L"verify " + Quote(Patch()));
    EXPECT_EQ(0u, verified.exitCode) << verified.output;
    EXPECT_NE(std::string::npos, verified.output.find("VALID: product QVC-64, version 6.72.0.1"))
        << verified.output;
}

TEST_F(PatchBuilderTest, PathRecordHasTheExactLayout)
{
    MakeSource(m_dir / L"src", true, false);
    ASSERT_EQ(0u, RunBuilder(m_dir, BuildArgs(L"/zexl")).exitCode);
    std::wstring work = m_dir / L"work\\";
    ASSERT_EQ(ERROR_OK, ZLibExpand(Patch().c_str(), work.c_str()));
    std::vector<Entry> inner = ReadArchive(work + L"x86\\common\\x86_common.zip");
    ASSERT_FALSE(inner.empty());
    for (const Entry& e : inner)
    {
        if (e.name != "payload/client.dll")
            continue;
        // "ZExL" and its NUL, size 53 (15 + 19 units * 2), version 1, length 19 units with the
        // terminator, then "payload\client.dll" in UTF-16 and its NUL.
        static const char RECORD[] = "ZExL\0"
                                     "\x35\0\0\0"
                                     "\x01\0\0\0"
                                     "\x13\0"
                                     "p\0a\0y\0l\0o\0a\0d\0\\\0c\0l\0i\0e\0n\0t\0.\0d\0l\0l\0"
                                     "\0\0";
        EXPECT_EQ(std::vector<BYTE>(RECORD, RECORD + sizeof(RECORD) - 1), e.localExtra);
        return;
    }
    FAIL() << "payload/client.dll not in the inner archive";
}

TEST_F(PatchBuilderTest, RefusesWhatTheAgentCouldNotInstall)
{
    struct Case
    {
        const wchar_t* name;
        bool bInstaller;
        bool bJapanese;
        std::wstring extra;
        const char* message;
    };
    const Case cases[] = {
        {L"no installer", false, false, L"", "PatchMain.exe is missing"},
        {L"name without ANSI form", true, true, L"", "build with /zexl"},
        {L"over-long product id", true, false, L"/pid=" + std::wstring(260, L'p'), "longer than 259"},
    };
    for (const Case& c : cases)
    {
        TempDir dir;
        MakeSource(dir / L"src", c.bInstaller, c.bJapanese);
        std::wstring args = L"build " + Quote(L"/src=" + dir / L"src") + L" /pid=Q /version=1.0 " +
                            Quote(L"/out=" + dir.Path()) + L" " + c.extra;
        BuilderRun run = RunBuilder(dir, args);
        EXPECT_EQ(1u, run.exitCode) << c.name;
        EXPECT_NE(std::string::npos, run.output.find(c.message)) << c.name << ": " << run.output;
        EXPECT_FALSE(FileExists(dir / L"QVClient_v1.0.zip")) << c.name;
    }
}

TEST_F(PatchBuilderTest, VerifyGivesAVerdictForEachKindOfDamage)
{
    MakeSource(m_dir / L"src", true, false);
    ASSERT_EQ(0u, RunBuilder(m_dir, BuildArgs()).exitCode);
    std::wstring work = m_dir / L"work\\";
    ASSERT_EQ(ERROR_OK, ZLibExpand(Patch().c_str(), work.c_str()));
    BYTE digest[20];
    ASSERT_EQ(ERROR_OK, CHashUtil::CalcHashOnce((work + L"x86\\common\\x86_common.zip").c_str(), digest));
    std::wstring good = Hex(digest, 20);
    std::wstring other = good;
    other[0] = other[0] == L'0' ? L'1' : L'0';

    struct Case
    {
        std::wstring extra;
        DWORD exitCode;
        const char* verdict;
    };
    const Case cases[] = {
        {L"/digest=" + Upper(good), 0, "VALID: "},
        {L"/digest=" + good + L"0123456789", 0, "VALID: "},
        {L"/digest=" + other, 1, "SHA-1 digest differs"},
        {L"/digest=x" + good.substr(1), 1, "not hexadecimal at position 0"},
        {L"/digest=", 1, "digest text is empty"},
        {L"/size=", 1, "size differs"},
        {L"/size=1", 1, "size differs"},
        {L"/pid=", 2, ""}, // refused by the builder's command line
    };
    for (const Case& c : cases)
    {
        DeleteFileW(Patch().c_str());
        BuilderRun built = RunBuilder(m_dir, BuildArgs(c.extra));
        if (c.exitCode == 2)
        {
            EXPECT_EQ(2u, built.exitCode) << built.output;
            continue;
        }
        ASSERT_EQ(0u, built.exitCode) << built.output;
        BuilderRun verified = RunBuilder(m_dir, L"verify " + Quote(Patch()));
        EXPECT_EQ(c.exitCode, verified.exitCode) << verified.output;
        EXPECT_NE(std::string::npos, verified.output.find(c.verdict)) << verified.output;
    }
    BuilderRun missing = RunBuilder(m_dir, L"verify " + Quote(m_dir / L"absent.zip"));
    EXPECT_EQ(1u, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.output.find("INVALID: the patch archive cannot be expanded (2)"))
        << missing.output;
}

TEST_F(PatchBuilderTest, UsageTextAndCommandLineErrors)
{
    BuilderRun help = RunBuilder(m_dir, L"/?");
    EXPECT_EQ(0u, help.exitCode);
    EXPECT_NE(std::string::npos, help.output.find("QvPatchBuilder verify <patch.zip>"));
    EXPECT_EQ(2u, RunBuilder(m_dir, L"").exitCode);
    EXPECT_EQ(2u, RunBuilder(m_dir, L"pack").exitCode);
    EXPECT_EQ(2u, RunBuilder(m_dir, L"build /src=x /pid=p /version=1 /bogus").exitCode);
}

namespace
{
// "/installdir=" with a folder that ends with a backslash, quoted for a command line: the last
// backslash is doubled, or it would quote the closing quote.
std::wstring InstallDirArg(const std::wstring& folder)
{
    return L"\"/installdir=" + folder + L"\\\"";
}

struct InnerEntry
{
    std::string stored;
    std::wstring zexlPath; // a path record instead of the stored name, when set
};

// A patch written by hand, for what the builder itself refuses to write: the configuration
// with these values and the inner archive's digest and size, an inner archive holding
// PatchMain.exe and the given entries.
std::wstring HandMadePatch(const TempDir& dir, const std::wstring& pid, const std::wstring& version,
                           const std::vector<InnerEntry>& entries, const std::wstring& digest = L"")
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    std::wstring inner = dir / L"inner.zip";
    {
        ZipWriter zip;
        if (!zip.Create(inner) || !zip.AddBytes("PatchMain.exe", {}, ft, "MZ stand-in"))
            return L"";
        for (const InnerEntry& e : entries)
        {
            std::vector<BYTE> extra = e.zexlPath.empty() ? std::vector<BYTE>() : MakeZexlRecord(e.zexlPath);
            if (!zip.AddBytes(e.stored, extra, ft, "payload"))
                return L"";
        }
        if (!zip.Close())
            return L"";
    }
    BYTE sha[20];
    if (CHashUtil::CalcHashOnce(inner.c_str(), sha) != ERROR_OK)
        return L"";
    PatchBuildOptions options;
    options.pid = pid;
    options.version = version;
    std::string config = MakePatchConfig(options, digest.empty() ? Hex(sha, 20) : digest,
                                         std::to_wstring(ReadFileBytes(inner).size()));
    std::wstring patch = dir / L"QVClient_v1.0.zip";
    ZipWriter zip;
    if (!zip.Create(patch) || !zip.AddBytes("PatchConfig.xml", {}, ft, config) ||
        !zip.AddFile("x86/common/x86_common.zip", {}, FILE_ATTRIBUTE_ARCHIVE, ft, inner, false) ||
        !zip.Close())
        return L"";
    return patch;
}
} // namespace

// Each rule the agent applies to a patch, met by the verifier with the agent's own check. The
// first row is the measured case: the builder made it, the verifier passed it, the agent ended
// 8/1006.
TEST_F(PatchBuilderTest, VerifyRefusesWhatTheAgentRefuses)
{
    const std::wstring longName(200, L'n');
    const std::wstring shortInstall = L"C:\\QV\\";
    const std::wstring longInstall = L"C:\\" + std::wstring(60, L'i') + L"\\";
    struct Case
    {
        const char* rule;
        std::wstring pid;
        std::wstring version;
        std::vector<InnerEntry> entries;
        std::wstring digest;
        std::wstring installDir;
        const char* verdict;
    };
    const Case cases[] = {
        {"bracket in the product id",
         L"QVC[6.71]",
         L"6.71.0.0",
         {},
         L"",
         L"",
         "product id holds U+005B at 3"},
        {"line break in the version", L"QVC", L"6.71\n1", {}, L"", L"", "version holds U+000A at 4"},
        {"equals sign in the version", L"QVC", L"6.71=1", {}, L"", L"", "version holds U+003D at 4"},
        {"line separator in the product id",
         L"Q\u2028",
         L"1.0",
         {},
         L"",
         L"",
         "product id holds U+2028 at 1"},
        {"digest text over 100 digits",
         L"QVC",
         L"1.0",
         {},
         std::wstring(101, L'a'),
         L"",
         "longer than 100 characters"},
        {"climbing stored name",
         L"QVC",
         L"1.0",
         {{"payload/../../evil.txt", L""}},
         L"",
         L"",
         "inner archive cannot be expanded (-664"},
        {"device name",
         L"QVC",
         L"1.0",
         {{"payload/aux.txt", L""}},
         L"",
         L"",
         "inner archive cannot be expanded (-664"},
        {"climbing path record",
         L"QVC",
         L"1.0",
         {{"payload/fine.txt", L"..\\evil.txt"}},
         L"",
         L"",
         "inner archive cannot be expanded (-664"},
        {"stored name of 260 bytes",
         L"QVC",
         L"1.0",
         {{std::string(260, 'x'), L""}},
         L"",
         L"",
         "inner archive cannot be expanded (-626"},
        {"path too long under the install folder",
         L"QVC",
         L"1.0",
         {{ToUtf8(longName), L""}},
         L"",
         longInstall,
         "more than 259: the agent ends with 8/206"},
        {"install folder without its backslash",
         L"QVC",
         L"1.0",
         {},
         L"",
         L"C:\\QV",
         "does not end with a backslash"},
    };
    for (const Case& c : cases)
    {
        TempDir dir;
        std::wstring patch = HandMadePatch(dir, c.pid, c.version, c.entries, c.digest);
        ASSERT_FALSE(patch.empty()) << c.rule;
        std::wstring args = L"verify " + Quote(patch);
        if (!c.installDir.empty())
            args += L" " + (c.installDir.back() == L'\\' ? InstallDirArg(c.installDir)
                                                         : Quote(L"/installdir=" + c.installDir));
        BuilderRun run = RunBuilder(dir, args);
        EXPECT_EQ(1u, run.exitCode) << c.rule << ": " << run.output;
        EXPECT_NE(std::string::npos, run.output.find(std::string("INVALID: ")))
            << c.rule << ": " << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.verdict)) << c.rule << ": " << run.output;
    }

    // The same long name fits under a short install folder, and the verdict says what the
    // update needs there.
    TempDir dir;
    std::wstring patch = HandMadePatch(dir, L"QVC", L"1.0", {{ToUtf8(longName), L""}});
    BuilderRun run = RunBuilder(dir, L"verify " + Quote(patch) + L" " + InstallDirArg(shortInstall));
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("longest path 225 of 259")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("bytes free on the install folder's volume")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("status record section [QVC]")) << run.output;
}

// What the verifier would refuse, the builder refuses before anything is left in the output folder.
TEST_F(PatchBuilderTest, BuilderRefusesWhatTheVerifierRefuses)
{
    struct Case
    {
        const char* rule;
        std::wstring extra;
        const char* hostFile; // a file only a host user can make in the source folder
        const char* message;
    };
    const Case cases[] = {
        {"bracket in the product id", L"/pid=QVC[6.71]", nullptr, "/pid= holds U+005B at 3"},
        {"equals sign in the version", L"/version=6.71=1", nullptr, "/version= holds U+003D at 4"},
        {"device name in the source", L"", "payload/aux.txt",
         "payload\\aux.txt is refused by the agent's expander"},
        {"path too long under the install folder", InstallDirArg(L"C:\\" + std::wstring(230, L'i') + L"\\"),
         nullptr, "more than 259"},
        {"install folder without its backslash", L"/installdir=C:\\QV", nullptr,
         "does not end with a backslash"},
    };
    for (const Case& c : cases)
    {
        TempDir dir;
        MakeSource(dir / L"src", true, false);
        if (c.hostFile != nullptr)
        {
            if (!HostAvailable() || !HostShell(dir / L"src", std::string("echo x > ") + c.hostFile))
                continue; // only a host user can make such a name
        }
        std::wstring args = L"build " + Quote(L"/src=" + dir / L"src") + L" /pid=Q /version=1.0 " +
                            Quote(L"/out=" + dir / L"out") + L" " + c.extra;
        BuilderRun run = RunBuilder(dir, args);
        EXPECT_EQ(1u, run.exitCode) << c.rule << ": " << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.message)) << c.rule << ": " << run.output;
        WIN32_FIND_DATAW fd;
        GpFind left(FindFirstFileW((dir / L"out\\*.zip").c_str(), &fd));
        EXPECT_FALSE(left) << c.rule << ": a patch was left in the output folder";
    }
}
