// Whole updates through the real programs: the tool in "/sp" (no confirmation; without a display
// every box fails at once, so the restart question counts as declined), the service stand-in
// starting the staged agent, the sample installer, the status file and the settings file.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <time.h>

#include <string>

#include "logcheck/QvcLogFolders.h"
#include "tests/e2e/ClientMachine.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/json/JsonTestUtil.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
// An older client whose module is already logged out: the agent needs no client window.
const wchar_t kService[] = L"/version=6.59.0.0 /login=1";

class UpdateE2E : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_service.Start(kService)); }

    // Runs the tool on the patch and answers its exit code.
    DWORD RunTool(const std::wstring& patch, const std::wstring& switches = L"/sp")
    {
        ProcessResult r = RunProcess(m_machine.ToolCommand(patch, switches), 180000, m_machine.Root());
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r.exitCode;
    }

    ClientMachine m_machine;
    ServiceSimProcess m_service;
    TraceCapture m_trace{L"QVS-Debug"};
};
} // namespace

TEST_F(UpdateE2E, PatchIsAppliedAndRecorded)
{
    std::wstring patch = m_machine.BuildPatch({});
    ASSERT_FALSE(patch.empty());
    __time64_t before = _time64(nullptr);
    EXPECT_EQ(0u, RunTool(patch)) << m_service.Log();

    EXPECT_EQ("new client", ReadFileBytes(m_machine.InstallDir() + L"\\bin\\client.dll"));
    EXPECT_EQ(L"6.70.0.1", ClientMachine::StatusValue(L"QVC-E2E", L"CurrentVersion"));
    EXPECT_EQ(L"3", ClientMachine::StatusValue(L"QVC-E2E", L"UpdateStatus"));
    EXPECT_EQ(L"", ClientMachine::StatusValue(L"QVC-E2E", L"SupportInfo"));
    EXPECT_EQ(L"<missing>", ClientMachine::StatusValue(L"QVC-E2E", L"UpdateType"));
    __time64_t entry = _wtoi64(ClientMachine::StatusValue(L"QVC-E2E", L"CurrentEntryDate").c_str());
    EXPECT_GE(entry, before);
    EXPECT_LE(entry, _time64(nullptr));

    EXPECT_FALSE(FileExists(m_machine.StagingDir())) << "the staging folder goes after success";
    EXPECT_FALSE(FileExists(m_machine.UpdateDir() + L"\\Work")) << "the work folder goes after expansion";
    EXPECT_TRUE(FileExists(m_machine.UpdateDir() + L"\\PatchMain.exe"));
    EXPECT_TRUE(m_trace.WaitFor(L"[LumoAgentApp::ExitInstance] Exit String[SUCCESS]"));
}

TEST_F(UpdateE2E, FailedInstallerIsRecordedAsStatus103)
{
    ClientMachine::Patch recipe;
    recipe.installerExitCode = 0; // only 37 is success
    std::wstring patch = m_machine.BuildPatch(recipe);
    EXPECT_EQ(9u, RunTool(patch));
    EXPECT_TRUE(m_trace.WaitFor(L"Exit String[FAILED /ExitCode=9 /ExtInfo=0]"));
    EXPECT_EQ(L"0", ClientMachine::StatusValue(L"QVC-E2E", L"UpdateType"));
    EXPECT_EQ(L"103", ClientMachine::StatusValue(L"QVC-E2E", L"UpdateStatus"));
    EXPECT_EQ(L"err:[103] module:[KVUpdate.exe]", ClientMachine::StatusValue(L"QVC-E2E", L"SupportInfo"));
    EXPECT_EQ(L"<missing>", ClientMachine::StatusValue(L"QVC-E2E", L"CurrentVersion"));
    EXPECT_FALSE(FileExists(m_machine.InstallDir() + L"\\bin\\client.dll"));
    EXPECT_TRUE(FileExists(m_machine.StagingDir())) << "a failed run keeps its staging folder";
}

TEST_F(UpdateE2E, DigestMismatchStopsBeforeAnythingIsInstalledOrRecorded)
{
    ClientMachine::Patch recipe;
    recipe.digestText = std::wstring(40, L'0');
    std::wstring patch = m_machine.BuildPatch(recipe);
    EXPECT_EQ(8u, RunTool(patch));
    EXPECT_TRUE(m_trace.WaitFor(L"Exit String[FAILED /ExitCode=8 /ExtInfo=14028]"));
    EXPECT_FALSE(FileExists(ClientMachine::StatusFile()));
    EXPECT_FALSE(FileExists(m_machine.UpdateDir() + L"\\PatchMain.exe"));
    EXPECT_FALSE(FileExists(m_machine.InstallDir() + L"\\bin\\client.dll"));
}

TEST_F(UpdateE2E, TwoProductsShareOneStatusFile)
{
    ClientMachine::Patch first, second;
    first.pid = L"QVC-BASE";
    first.version = L"6.70.0.1";
    second.pid = L"QVC-ADDON";
    second.version = L"2.1.0.0";
    EXPECT_EQ(0u, RunTool(m_machine.BuildPatch(first)));
    EXPECT_EQ(0u, RunTool(m_machine.BuildPatch(second)));
    EXPECT_EQ(L"6.70.0.1", ClientMachine::StatusValue(L"QVC-BASE", L"CurrentVersion"));
    EXPECT_EQ(L"2.1.0.0", ClientMachine::StatusValue(L"QVC-ADDON", L"CurrentVersion"));
    std::string ini = ReadFileBytes(ClientMachine::StatusFile());
    EXPECT_NE(std::string::npos, ini.find("[QVC-BASE]"));
    EXPECT_NE(std::string::npos, ini.find("[QVC-ADDON]"));
}

TEST_F(UpdateE2E, LeaveCacheTurnsDeleteFilesFalseOnlyWhereItIsALiteral)
{
    std::wstring settings = ClientMachine::SystemDir() + L"\\ServerSetting.cfg";
    struct Case
    {
        const wchar_t* before;
        const wchar_t* after; // null: the file stays byte for byte
    } cases[] = {
        {L"{\"Server\":\"qv.example\",\"DeleteFiles\":true}", L"false"},
        {L"{\"Server\":\"qv.example\"}", nullptr},
        {L"{\"DeleteFiles\":{\"Days\":7}}", nullptr},
    };
    std::wstring patch = m_machine.BuildPatch({});
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ToUtf8(c.before));
        ASSERT_TRUE(jsontest::WriteEncryptedText(settings, c.before));
        std::string bytes = ReadFileBytes(settings);
        EXPECT_EQ(0u, RunTool(patch, L"/sp /LeaveCache"));
        if (c.after == nullptr)
        {
            EXPECT_EQ(bytes, ReadFileBytes(settings));
        }
        else
        {
            std::wstring text = jsontest::DecryptedText(settings);
            EXPECT_NE(std::wstring::npos, text.find(L"\"DeleteFiles\" : false")) << ToUtf8(text);
            EXPECT_NE(std::wstring::npos, text.find(L"qv.example"));
        }
    }
    DeleteFileW(settings.c_str());
}

TEST_F(UpdateE2E, CheckLogWaitsForTheSenderBeforeInstalling)
{
    VString logs;
    ASSERT_EQ(S_OK, GetQvcLogsDir(logs));
    std::wstring dir = logs.c_str();
    for (int i = 0; i < QVC_LOG_FOLDER_COUNT; i++)
    {
        std::wstring folder = dir + QvcLogFolderName(i);
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        WriteFileBytes(folder + L"\\pending" + std::to_wstring(i) + L".log", "log");
    }
    ChildProcess sender;
    ASSERT_TRUE(sender.Start(Quote(BinPath(L"QvLogSenderSim.exe")) + L" /seconds=300"));
    std::wstring patch = m_machine.BuildPatch({});
    EXPECT_EQ(0u, RunTool(patch, L"/sp /CheckLog"));
    EXPECT_EQ("new client", ReadFileBytes(m_machine.InstallDir() + L"\\bin\\client.dll"));
    for (int i = 0; i < QVC_LOG_FOLDER_COUNT; i++)
        EXPECT_FALSE(FileExists(dir + QvcLogFolderName(i) + L"\\pending" + std::to_wstring(i) + L".log"));
    sender.Terminate();
    RemoveTree(dir.substr(0, dir.size() - 1));
}
