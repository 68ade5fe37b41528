// Tool-mode confirmation and staging, in process against the service stand-in QvServiceSim.exe;
// the agent's side is played by a second application object.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "tests/app/CommandLineApp.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/TempRedirect.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
// The user's temporary folder of the test: a fresh folder whose path holds a blank.
class StagingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_temp = m_root / L"user temp";
        CreateDirectoryW(m_temp.c_str(), nullptr);
        m_tempRedirect = std::make_unique<TempRedirect>(m_temp);
        m_patch = m_root / L"QVClient_v1.2.3.zip";
        WriteFileBytes(m_patch, "patch bytes");
    }
    void TearDown() override { m_tempRedirect.reset(); }
    std::wstring Stage(int n) const { return m_temp + L"\\LumoTool" + std::to_wstring(n); }
    // A tool run with these switches on the test's patch.
    std::unique_ptr<CommandLineApp> Tool(const std::wstring& switches) const
    {
        return std::make_unique<CommandLineApp>(switches + L" /p=\"" + m_patch + L"\"");
    }
    // Normal mode asks first: the user agrees.
    static void ConfirmWithOk()
    {
        GpSeam().MessageBoxFn = [](HWND, const wchar_t*, const wchar_t*, UINT) { return IDOK; };
    }

    TempDir m_root;
    std::wstring m_temp, m_patch;
    std::unique_ptr<TempRedirect> m_tempRedirect;
};
} // namespace

TEST_F(StagingTest, LeftoverFirstFolderIsDeletedAndTheSecondUsed)
{
    CreateDirectoryW(Stage(1).c_str(), nullptr);
    WriteFileBytes(Stage(1) + L"\\old.txt", "old");
    TraceCapture capture;
    ConfirmWithOk();
    auto tool = Tool(L"/CheckLog /LeaveCache");
    // No service: the road stops at the launch and the staging folder stays.
    EXPECT_EQ(0, tool->UserProgress());
    EXPECT_EQ(10, tool->m_nExitCode);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, tool->m_nExtInfo);
    EXPECT_FALSE(FileExists(Stage(1)));
    EXPECT_EQ("patch bytes", ReadFileBytes(Stage(2) + L"\\QVClient_v1.2.3.zip"));
    EXPECT_EQ(ReadFileBytes(BinPath(L"test_road_toolstaging.exe")),
              ReadFileBytes(Stage(2) + L"\\LumoAgent.exe"));
    std::wstring cmd = Stage(2) + L"\\LumoAgent.exe /Agent /n /CheckLog /LeaveCache /p=\"" + Stage(2) +
                       L"\\QVClient_v1.2.3.zip\"";
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::UserProgress] Lumo Act Cmdline[" + cmd + L"]"));
    EXPECT_TRUE(capture.Contains(L"[LumoAgentApp::UserProgress] Temp Folder Exist[" + Stage(1) + L"]"));
}

TEST_F(StagingTest, StagingFolderChoice)
{
    struct Case
    {
        std::vector<int> present;
        int used; // 0: none, the run stops with 10/183
        bool holdFirst;
    } cases[] = {
        {{2}, 1, false}, // a leftover LumoTool2 alone is not touched
        {{1, 2}, 3, false},
        {{1, 2, 3}, 1, false}, // all three deleted, the first one reused
        {{1, 2, 3}, 0, true},  // the first cannot go
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.present.size() * 10 + c.used);
        for (int n : c.present)
        {
            CreateDirectoryW(Stage(n).c_str(), nullptr);
            WriteFileBytes(Stage(n) + L"\\mark.txt", "m");
        }
        GpFile held;
        if (c.holdFirst)
            held.Reset(CreateFileW((Stage(1) + L"\\mark.txt").c_str(), GENERIC_READ, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        auto tool = Tool(L"/sp");
        EXPECT_EQ(0, tool->UserProgress());
        EXPECT_EQ(10, tool->m_nExitCode);
        if (c.used == 0)
        {
            EXPECT_EQ(ERROR_ALREADY_EXISTS, tool->m_nExtInfo);
        }
        else
        {
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, tool->m_nExtInfo); // stopped at the launch: no service
            EXPECT_TRUE(FileExists(Stage(c.used) + L"\\LumoAgent.exe"));
            EXPECT_FALSE(FileExists(Stage(c.used) + L"\\mark.txt"));
        }
        EXPECT_TRUE(c.present != std::vector<int>{2} || FileExists(Stage(2) + L"\\mark.txt"));
        held.Reset();
        for (int n = 1; n <= 3; n++)
            RemoveTree(Stage(n));
    }
}

TEST_F(StagingTest, ConfirmationNamesThePatchAndCanBeDeclined)
{
    struct Case
    {
        int answer;
        BOOL goesOn;
    } cases[] = {{IDCANCEL, 0}, {0, 0}, {IDOK, 1}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.answer);
        std::wstring text, caption;
        UINT type = 0;
        GpSeam().MessageBoxFn = [&](HWND, const wchar_t* t, const wchar_t* cap, UINT u) {
            text = t;
            caption = cap;
            type = u;
            return c.answer;
        };
        auto tool = Tool(L"");
        EXPECT_EQ(c.goesOn, tool->IsUpdateConfirm());
        EXPECT_EQ(L"Patch:QVClient_v1.2.3.zip\r\nアップデートを実行しますか？\r\n"
                  L"アップデート完了後にコンピューターは再起動します。\r\n"
                  L"アップデートを実行する際は作業中のプログラムを終了してください。",
                  text);
        EXPECT_EQ(L"Quovera Client アップデートツール", caption);
        EXPECT_EQ(0x41u, type);
        EXPECT_EQ(c.goesOn ? 0 : 4, tool->m_nExitCode);
        EXPECT_EQ(c.goesOn ? 0 : ERROR_CANCELLED, tool->m_nExtInfo);
    }
    // Declined: nothing is staged.
    GpSeam().MessageBoxFn = [](HWND, const wchar_t*, const wchar_t*, UINT) { return IDCANCEL; };
    EXPECT_EQ(0, Tool(L"")->UserProgress());
    EXPECT_FALSE(FileExists(Stage(1)));
    // Silent modes never ask.
    int asked = 0;
    GpSeam().MessageBoxFn = [&](HWND, const wchar_t*, const wchar_t*, UINT) { return ++asked, IDCANCEL; };
    for (const wchar_t* mode : {L"/sp", L"/sn", L"/sf"})
        EXPECT_EQ(1, Tool(mode)->IsUpdateConfirm()) << ToUtf8(mode);
    EXPECT_EQ(0, asked);
}

TEST_F(StagingTest, StagingFolderGoesAfterSuccessOnly)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    auto failing = Tool(L"/sp");
    AgentReportsOnFirstWait(7, 18);
    EXPECT_EQ(0, failing->UserProgress());
    EXPECT_EQ(7, failing->m_nExitCode);
    EXPECT_EQ(18, failing->m_nExtInfo);
    EXPECT_TRUE(FileExists(Stage(1) + L"\\LumoAgent.exe"));

    ConfirmWithOk();
    auto tool = Tool(L"");
    AgentReportsOnFirstWait(0, 0);
    EXPECT_EQ(1, tool->UserProgress());
    // LumoTool1 was left by the failed run and deleted; LumoTool2 served and went too.
    EXPECT_FALSE(FileExists(Stage(1)));
    EXPECT_FALSE(FileExists(Stage(2)));
    EXPECT_TRUE(sim.WaitForLog("cmdline=<" + ToUtf8(Stage(2)) + "\\LumoAgent.exe /Agent /n /p=\""));
}

TEST_F(StagingTest, StagingFolderStillInUseAfterSuccessIsDeletedOnceReleased)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    auto tool = Tool(L"/sp");
    // The agent reports while its copy of the program is still open; it lets go a few pauses later.
    GpFile held;
    bool wasHeld = false;
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD ms) {
        held.Reset(CreateFileW((Stage(1) + L"\\LumoAgent.exe").c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr));
        wasHeld = held.IsValid();
        ReportingAgent().WriteExitString();
        return WaitForSingleObject(h, ms);
    };
    int pauses = 0;
    GpSeam().SleepFn = [&](DWORD ms) {
        EXPECT_EQ(500u, ms);
        if (++pauses == 3)
            held.Reset();
    };
    EXPECT_EQ(1, tool->UserProgress());
    EXPECT_EQ(0, tool->m_nExitCode);
    EXPECT_TRUE(wasHeld);
    EXPECT_EQ(3, pauses);
    EXPECT_FALSE(FileExists(Stage(1)));
}

// Another tool's staging folder is neither deleted nor reused; a folder nobody holds is a leftover,
// whatever lies in it.
TEST_F(StagingTest, StagingFolderOfAnotherToolIsLeftAlone)
{
    struct Case
    {
        const char* name;
        std::vector<int> present;
        bool holdFirst; // LumoTool1's lock file is held as a running tool holds it
        int used;
    } cases[] = {
        {"held first", {1}, true, 2},
        {"held first and leftover second", {1, 2}, true, 3},
        {"planted lock nobody holds", {1}, false, 2},
        {"held first among three", {1, 2, 3}, true, 0}, // 10/183, LumoTool1 untouched
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (int n : c.present)
        {
            CreateDirectoryW(Stage(n).c_str(), nullptr);
            WriteFileBytes(Stage(n) + L"\\LumoAgent.exe", "being copied");
        }
        WriteFileBytes(Stage(1) + L"\\LumoTool.lock", "");
        GpFile lock;
        if (c.holdFirst)
            lock.Reset(CreateFileW((Stage(1) + L"\\LumoTool.lock").c_str(),
                                   GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(!c.holdFirst || lock);
        TraceCapture capture;
        auto tool = Tool(L"/sp");
        EXPECT_EQ(0, tool->UserProgress()); // no service
        EXPECT_EQ(10, tool->m_nExitCode);
        EXPECT_EQ(c.used == 0 ? ERROR_ALREADY_EXISTS : ERROR_FILE_NOT_FOUND, tool->m_nExtInfo);
        EXPECT_EQ(c.holdFirst, ReadFileBytes(Stage(1) + L"\\LumoAgent.exe") == "being copied");
        EXPECT_EQ(c.holdFirst,
                  capture.Contains(L"[LumoAgentApp::UserProgress] Temp Folder InUse[" + Stage(1) + L"]"));
        if (c.used != 0)
        {
            EXPECT_EQ("patch bytes", ReadFileBytes(Stage(c.used) + L"\\QVClient_v1.2.3.zip"));
        }
        lock.Reset();
        for (int n = 1; n <= 3; n++)
            RemoveTree(Stage(n));
    }
}

// Neither copy replaces a file that is already at its target: here the patch's own name.
TEST_F(StagingTest, StagingCopiesNeverReplaceAFile)
{
    const wchar_t* const names[] = {
        L"LumoAgent.exe", // the program's copy meets the patch
        L"LumoTool.lock", // the patch meets the folder's lock
    };
    for (const wchar_t* name : names)
    {
        SCOPED_TRACE(ToUtf8(name));
        std::wstring patch = m_root / name;
        WriteFileBytes(patch, "patch bytes");
        TraceCapture capture;
        CommandLineApp tool(L"/sp /p=\"" + patch + L"\"");
        EXPECT_EQ(0, tool.UserProgress());
        EXPECT_EQ(10, tool.m_nExitCode);
        EXPECT_EQ(ERROR_FILE_EXISTS, tool.m_nExtInfo);
        EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::UserProgress] CopyFile err["));
        if (wcscmp(name, L"LumoAgent.exe") == 0)
        {
            EXPECT_EQ("patch bytes", ReadFileBytes(Stage(1) + L"\\LumoAgent.exe"));
        }
        RemoveTree(Stage(1));
    }
}

// A second tool started while the first waits for its agent: it refuses before asking for an
// agent, and the first ends with its own agent's outcome in a folder nobody touched.
TEST_F(StagingTest, SecondToolWhileTheFirstWaitsRefusesAndLeavesTheFirstAlone)
{
    ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(ExecAsThisProcess()));
    auto first = Tool(L"/sp");
    int waits = 0;
    BOOL secondResult = -1;
    int secondExit = -1, secondExt = -1;
    std::string firstCopy;
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD ms) {
        if (waits++ == 0)
        {
            auto second = Tool(L"/sp");
            secondResult = second->UserProgress();
            secondExit = second->m_nExitCode;
            secondExt = second->m_nExtInfo;
            firstCopy = ReadFileBytes(Stage(1) + L"\\QVClient_v1.2.3.zip");
            ReportingAgent(7, 18).WriteExitString();
        }
        return WaitForSingleObject(h, ms);
    };
    TraceCapture capture;
    EXPECT_EQ(0, first->UserProgress());
    EXPECT_EQ(7, first->m_nExitCode);
    EXPECT_EQ(18, first->m_nExtInfo);
    EXPECT_EQ(0, secondResult);
    EXPECT_EQ(10, secondExit);
    EXPECT_EQ(ERROR_ACCESS_DENIED, secondExt);
    EXPECT_EQ("patch bytes", firstCopy);
    EXPECT_TRUE(capture.Contains(L"[LumoAgentApp::UserProgress] Temp Folder InUse[" + Stage(1) + L"]"));
    EXPECT_TRUE(FileExists(Stage(2) + L"\\LumoAgent.exe")); // the second's own, left after its failure
    std::string log = sim.Log();
    size_t starts = 0;
    for (size_t p = 0; (p = log.find("cmd=11 ", p)) != std::string::npos; p++)
        starts++;
    EXPECT_EQ(1u, starts);
}
