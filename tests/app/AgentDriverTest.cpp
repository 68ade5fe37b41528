// The agent's update driver: the install folder from the test prefix's registry, the update
// folder, the copy of the patch and the road after it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/LumoAgentApp.h"
#include "common/ClientContract.h"
#include "common/GpSeams.h"
#include "tests/app/CommandLineApp.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/SimDesktop.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"
#include "tests/support/UninstallEntry.h"
#include "tools/PatchBuilder/PatchBuild.h"

using namespace lumotest;

// The client's Uninstall entries, written into the prefix's registry and removed again.
namespace
{
const wchar_t* const kKey32 = CLIENT_PRODUCT_KEY_32;
const wchar_t* const kKey64 = CLIENT_PRODUCT_KEY_64;

// The agent's command line for a patch in folder: the patch is written there first.
std::wstring WithPatch(const TempDir& folder, const std::wstring& args)
{
    WriteFileBytes(folder / L"QVClient_v1.zip", "PK patch");
    return args + L" /p=\"" + (folder / L"QVClient_v1.zip") + L"\"";
}

// An agent application object ready for the driver: a patch in a source folder, found by the
// agent's own discovery.
struct DriverFixture
{
    TempDir install;
    TempDir source;
    CommandLineApp app;
    explicit DriverFixture(const wchar_t* args = L"/Agent /sn") : app(WithPatch(source, args)) {}
    std::wstring InstallDir() const { return install.Path() + L"\\"; }
};
} // namespace

TEST(GetInstallDir, OnlyThe64BitKeyGivesOneWarningAndGoesOn)
{
    DriverFixture f;
    UninstallEntry entry(kKey64, f.InstallDir());
    ASSERT_TRUE(entry.Ok());
    TraceCapture cap;
    wchar_t out[LUMO_PATH_CCH];
    EXPECT_TRUE(f.app.GetInstallDir(out));
    EXPECT_EQ(f.InstallDir(), std::wstring(out));
    ASSERT_TRUE(cap.WaitFor(L"[LumoAgentApp::GetInstallDir] 64bit mode."));
    EXPECT_EQ(1u, cap.Messages(L"[LumoAgentApp::GetInstallDir] RegOpenKeyEx(32bit) Err[").size());
    EXPECT_TRUE(cap.Messages(L"RegOpenKeyEx(64bit)").empty());
}

TEST(GetInstallDir, FailuresEndWithTen)
{
    struct Case
    {
        const wchar_t* key;
        std::wstring value;
        int extInfo;
    };
    const Case cases[] = {
        {nullptr, L"", ERROR_FILE_NOT_FOUND},               // neither product key
        {kKey32, L"", ERROR_PATH_NOT_FOUND},                // empty InstallLocation
        {kKey32, std::wstring(300, L'a'), ERROR_MORE_DATA}, // more than the 522-byte buffer
        {kKey32, std::wstring(260, L'b'),
         ERROR_FILENAME_EXCED_RANGE}, // fits the read, not the caller's buffer
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(&c - cases));
        DriverFixture f;
        std::unique_ptr<UninstallEntry> entry;
        if (c.key != nullptr)
        {
            entry = std::make_unique<UninstallEntry>(c.key, c.value);
            ASSERT_TRUE(entry->Ok());
        }
        wchar_t out[LUMO_PATH_CCH + 1];
        out[LUMO_PATH_CCH] = L'#';
        EXPECT_FALSE(f.app.GetInstallDir(out));
        EXPECT_EQ(10, f.app.m_nExitCode);
        EXPECT_EQ(c.extInfo, f.app.m_nExtInfo);
        EXPECT_EQ(L'#', out[LUMO_PATH_CCH]);
    }
}

TEST(AgentProgress, SilentModesRegisterTheWindowClassFirst)
{
    // No product key: the road stops in GetInstallDir, after the registration.
    for (const wchar_t* mode : {L"/n", L"/sp", L"/sn", L"/sf"})
    {
        DriverFixture f((std::wstring(L"/Agent ") + mode).c_str());
        UnregisterClassW(L"LumoAgentAppClass", f.app.m_hInstance);
        EXPECT_FALSE(f.app.AgentProgress());
        EXPECT_EQ(10, f.app.m_nExitCode);
        WNDCLASSW wc;
        bool silent = !f.app.m_bMsgBox;
        EXPECT_EQ(silent, GetClassInfoW(f.app.m_hInstance, L"LumoAgentAppClass", &wc) != FALSE)
            << ToUtf8(mode);
    }
}

TEST(AgentProgress, MissingLumoFolderGivesTenAndThree)
{
    DriverFixture f;
    UninstallEntry entry(kKey32, f.InstallDir());
    ASSERT_TRUE(entry.Ok());
    EXPECT_FALSE(f.app.AgentProgress());
    EXPECT_EQ(10, f.app.m_nExitCode);
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, f.app.m_nExtInfo);
}

TEST(AgentProgress, ExistingUpdateFolderIsReplaced)
{
    // Moved to old_patch and deleted there; or, when old_patch is in the way, deleted in place
    // followed by a pause of one second.
    for (bool oldPatchInTheWay : {false, true})
    {
        DriverFixture f;
        UninstallEntry entry(kKey32, f.InstallDir());
        ASSERT_TRUE(entry.Ok());
        std::wstring lumo = f.install / L"Lumo";
        std::wstring update = lumo + L"\\QuoveraClient";
        ASSERT_TRUE(CreateDirectoryW(lumo.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(update.c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(update + L"\\stale.txt", "old"));
        ASSERT_TRUE(WriteFileBytes(update + L"\\QVClient_v1.zip", "old copy"));
        if (oldPatchInTheWay)
        {
            ASSERT_TRUE(CreateDirectoryW((lumo + L"\\old_patch").c_str(), nullptr));
            ASSERT_TRUE(WriteFileBytes(lumo + L"\\old_patch\\keep.txt", "x"));
        }
        std::vector<DWORD> pauses;
        GpSeam().SleepFn = [&](DWORD ms) { pauses.push_back(ms); };
        TraceCapture cap;

        f.app.AgentProgress();
        EXPECT_FALSE(FileExists(update + L"\\stale.txt")) << oldPatchInTheWay;
        EXPECT_EQ("PK patch", ReadFileBytes(update + L"\\QVClient_v1.zip")) << oldPatchInTheWay;
        EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::AgentProgress] Lumo Update Folder Exist[" + update + L"]"));
        if (oldPatchInTheWay)
        {
            EXPECT_EQ(std::vector<DWORD>{1000}, pauses);
            EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::AgentProgress] ！MoveFileEx("));
        }
        else
        {
            EXPECT_TRUE(pauses.empty());
            EXPECT_FALSE(FileExists(lumo + L"\\old_patch"));
        }
        GpSeam().SleepFn = nullptr;
    }
}

// An old_patch folder left by an agent stopped while it deleted it goes with the next run, with or
// without an update folder beside it.
TEST(AgentProgress, LeftOldPatchFolderGoes)
{
    for (bool withUpdateFolder : {false, true})
    {
        DriverFixture f;
        UninstallEntry entry(kKey32, f.InstallDir());
        ASSERT_TRUE(entry.Ok());
        std::wstring lumo = f.install / L"Lumo";
        std::wstring old = lumo + L"\\old_patch";
        ASSERT_TRUE(CreateDirectoryW(lumo.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(old.c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(old + L"\\QVClient_v0.zip", "left"));
        if (withUpdateFolder)
        {
            ASSERT_TRUE(CreateDirectoryW((lumo + L"\\QuoveraClient").c_str(), nullptr));
        }
        GpSeam().SleepFn = [](DWORD) {};
        TraceCapture cap;
        f.app.AgentProgress();
        EXPECT_FALSE(FileExists(old)) << withUpdateFolder;
        EXPECT_EQ("PK patch", ReadFileBytes(lumo + L"\\QuoveraClient\\QVClient_v1.zip")) << withUpdateFolder;
        EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::AgentProgress] Lumo Old Patch Folder Exist[" +
                                f.InstallDir() + L"\\Lumo\\old_patch]"));
        GpSeam().SleepFn = nullptr;
    }
}

TEST(AgentProgress, RealAgentCopiesThePatchIntoAFreshUpdateFolder)
{
    NewSimDesktop();
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(L"/version=6.60.0.0 /login=0"));
    ClientWindow window;
    ASSERT_TRUE(window.Start(L""));
    DriverFixture f;
    UninstallEntry entry(kKey64, f.InstallDir());
    ASSERT_TRUE(entry.Ok());
    ASSERT_TRUE(CreateDirectoryW((f.install / L"Lumo").c_str(), nullptr));
    TraceCapture cap(L"QVS-Debug");
    RunAgentOnSimDesktop(L"/Agent /sf /p=\"QVClient_v1.zip\"", f.source.Path());
    EXPECT_EQ(std::vector<int>{1}, window.WParams());
    EXPECT_EQ("PK patch", ReadFileBytes(f.install / L"Lumo\\QuoveraClient\\QVClient_v1.zip"));
    EXPECT_TRUE(cap.WaitFor(L"[LumoAgentApp::AgentProgress] Copy [QVClient_v1.zip] → [" + f.InstallDir() +
                            L"Lumo\\QuoveraClient\\QVClient_v1.zip]"));
}

// After the copy: expansion, installer, status record, settings and restart, in that order.
TEST(AgentProgress, RoadTailAfterTheCopy)
{
    struct Case
    {
        const char* name;
        int installerExit;
        BOOL ok;
        int exitCode;
        int extInfo;
        int restarts;
    };
    const Case cases[] = {
        {"InstallerFails", 50, FALSE, 9, 50, 0}, // status 103, no settings, no restart
        {"RestartFails", 37, TRUE, 0, 0, 1},     // a failed restart leaves a success
    };
    for (const Case& c : cases)
    {
        DriverFixture f;
        UninstallEntry entry(kKey32, f.InstallDir());
        ASSERT_TRUE(entry.Ok());
        ASSERT_TRUE(CreateDirectoryW((f.install / L"Lumo").c_str(), nullptr));
        TempDir src;
        ASSERT_TRUE(CopyFileW(BinPath(L"PatchMain.exe").c_str(), (src / L"PatchMain.exe").c_str(), FALSE));
        ASSERT_TRUE(CreateDirectoryW((src / L"payload").c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(src / L"payload\\new.txt", "new"));
        ASSERT_TRUE(WriteFileBytes(src / L"PatchMain.ini",
                                   "[PatchMain]\r\nExitCode=" + std::to_string(c.installerExit) + "\r\n"));
        PatchBuildOptions options;
        options.sourceDir = src.Path();
        options.outDir = f.source.Path();
        options.pid = L"QVC-TAIL";
        options.version = L"6.70.0.1";
        options.rangeBegin = L"6.60.0.0";
        options.rangeEnd = L"6.69.9.9";
        std::wstring patch;
        ASSERT_TRUE(BuildPatch(options, patch));
        CommandLineApp app(L"/Agent /sn /p=\"" + patch + L"\"");

        int restarts = 0;
        GpSeam().ExitWindowsFn = [&](UINT, DWORD) {
            restarts++;
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        };
        TraceCapture cap;
        EXPECT_EQ(c.ok, app.AgentProgress()) << c.name;
        EXPECT_EQ(c.exitCode, app.m_nExitCode) << c.name;
        EXPECT_EQ(c.extInfo, app.m_nExtInfo) << c.name;
        EXPECT_EQ(c.restarts, restarts) << c.name;
        if (c.installerExit != 37)
        {
            EXPECT_TRUE(cap.WaitFor(L"status[103]")) << c.name;
        }
        GpSeam().ExitWindowsFn = nullptr;
    }
}

// The outcome is stored only where it is decided: a restart that cannot be started decides
// nothing (the update is complete), so the stored pair stays what it was.
TEST(ExitChannel, FailedRestartLeavesTheOutcomeAlone)
{
    GpSeam().ExitWindowsFn = [](UINT, DWORD) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    };
    TraceCapture capture;
    CommandLineApp agent(L"/Agent /sn"); // no question, the restart follows at once
    EXPECT_FALSE(agent.OsReboot());
    EXPECT_EQ(0, agent.m_nExitCode);
    EXPECT_EQ(0, agent.m_nExtInfo);
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::OsReboot] ExitWindowsEx()\u3000｛"));
}
