// Patch discovery, in process and with real LumoAgent.exe processes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/LumoAgentApp.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
std::wstring AgentCommand(const std::wstring& args)
{
    return Quote(BinPath(L"LumoAgent.exe")) + L" " + args;
}
} // namespace

// Patch discovery: one table, run in process (fields and extended information) and by a real
// agent process (exit code and trace).
struct DiscoveryCase
{
    const char* name;
    std::vector<std::wstring> files; // created in the current folder ("sub\" makes the folder)
    std::wstring args;               // "%DIR%" stands for the current folder
    int exitCode;                    // 0: discovery succeeded
    int extInfo;
    std::wstring trace;
    std::wstring patchPath = L"";
    std::wstring patchName = L"";
};

void PrintTo(const DiscoveryCase& c, std::ostream* os)
{
    *os << c.name;
}

std::wstring Expand(std::wstring s, const std::wstring& dir)
{
    size_t pos = s.find(L"%DIR%");
    if (pos != std::wstring::npos)
        s.replace(pos, 5, dir);
    return s;
}

class PatchDiscovery : public ::testing::TestWithParam<DiscoveryCase>
{
protected:
    void SetUp() override
    {
        for (const auto& f : GetParam().files)
        {
            if (f.back() == L'\\')
                CreateDirectoryW((m_dir / f).c_str(), nullptr);
            else
                ASSERT_TRUE(WriteFileBytes(m_dir / f, "PK"));
        }
    }
    TempDir m_dir;
};

TEST_P(PatchDiscovery, InProcess)
{
    const DiscoveryCase& c = GetParam();
    wchar_t szOld[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, szOld);
    ASSERT_TRUE(SetCurrentDirectoryW(m_dir.Path().c_str()));
    std::wstring cmd = Expand(c.args, m_dir.Path());
    TraceCapture cap;
    LumoAgentApp app;
    app.m_lpCmdLine = cmd.c_str();
    app.SetRunMode();
    BOOL ok = app.GetPatchPath();
    SetCurrentDirectoryW(szOld);

    EXPECT_EQ(c.exitCode == 0, ok != 0);
    EXPECT_EQ(c.exitCode, app.m_nExitCode);
    EXPECT_EQ(c.extInfo, app.m_nExtInfo);
    EXPECT_TRUE(cap.WaitFor(Expand(c.trace, m_dir.Path()))) << ToUtf8(c.trace);
    if (c.exitCode == 0)
    {
        EXPECT_EQ(Expand(c.patchPath, m_dir.Path()), std::wstring(app.m_szPatchPath));
        EXPECT_EQ(c.patchName, std::wstring(app.m_szPatchName));
    }
}

TEST_P(PatchDiscovery, RealAgent)
{
    const DiscoveryCase& c = GetParam();
    TraceCapture cap(L"QVS-Debug");
    ProcessResult r =
        RunProcess(AgentCommand(L"/Agent /sn " + Expand(c.args, m_dir.Path())), 30000, m_dir.Path());
    ASSERT_TRUE(r.started);
    if (c.exitCode != 0)
        EXPECT_EQ(static_cast<DWORD>(c.exitCode), r.exitCode);
    else // the road went on past discovery (no service here: it stops later)
        EXPECT_TRUE(r.exitCode != 1 && r.exitCode != 2 && r.exitCode != 3) << r.exitCode;
    EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::GetPatchPath]" + Expand(c.trace, m_dir.Path())))
        << ToUtf8(c.trace);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PatchDiscovery,
    ::testing::Values(
        DiscoveryCase{"NoPatch", {}, L"", 3, 2, L" ！FindFirstFile(QVClient_v*.zip) err["},
        DiscoveryCase{"TwoPatches",
                      {L"QVClient_v1.zip", L"QVClient_v2.zip"},
                      L"",
                      3,
                      4,
                      L" 複数パッチが存在[QVClient_v"},
        DiscoveryCase{"OnePatch",
                      {L"QVClient_v1.zip", L"other.zip"},
                      L"",
                      0,
                      0,
                      L" Current Patch Name [QVClient_v1.zip]",
                      L"QVClient_v1.zip",
                      L"QVClient_v1.zip"},
        DiscoveryCase{"QuotedWithoutClosingQuote",
                      {L"a b.zip"},
                      L"/p=\"a b.zip",
                      2,
                      87,
                      L" /PatchPath Parse Error Path[a b.zip] Parse文字[\"]"},
        DiscoveryCase{"UnquotedToEndOfLine",
                      {L"x.zip"},
                      L"/p=x.zip",
                      0,
                      0,
                      L" /PatchPath Param [x.zip]",
                      L"x.zip",
                      L"x.zip"},
        DiscoveryCase{"UnquotedEndsAtBlank",
                      {L"x.zip"},
                      L"/p=x.zip /CheckLog",
                      0,
                      0,
                      L" /PatchPath Param [x.zip]",
                      L"x.zip",
                      L"x.zip"},
        DiscoveryCase{"MissingFile", {}, L"/p=\"nothere.zip\"", 3, 2, L" ！FindFirstFile(nothere.zip) err["},
        DiscoveryCase{"NameWithBlanksInQuotes",
                      {L"my patch.zip"},
                      L"/p=\"my patch.zip\" /CheckLog",
                      0,
                      0,
                      L" /PatchPath Param [my patch.zip]",
                      L"my patch.zip",
                      L"my patch.zip"},
        DiscoveryCase{"AbsolutePathAnyName",
                      {L"sub\\", L"sub\\notes.txt"},
                      L"/p=\"%DIR%\\sub\\notes.txt\"",
                      0,
                      0,
                      L" /PatchPath Param [%DIR%\\sub\\notes.txt]",
                      L"%DIR%\\sub\\notes.txt",
                      L"notes.txt"},
        DiscoveryCase{"RestLongerThanTheBuffer",
                      {L"x.zip"},
                      L"/p=x.zip " + std::wstring(300, L'y'),
                      2,
                      87,
                      L" ！/PatchPath Parse Error 長すぎます len=306"}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& info) { return std::string(info.param.name); });
