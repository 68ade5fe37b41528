// The tool road end to end: LumoAgent.exe in tool mode stages itself, the service stand-in starts
// the staged agent, and the outcome travels back over the result channel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/GpHandles.h"
#include "tests/e2e/ServiceSimRunner.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"
#include "tools/PatchBuilder/PatchBuild.h"

using namespace lumotest;

namespace
{
const wchar_t kUninstallKey[] =
    L"software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{3B7E1C42-9A5D-4F60-8C21-7D4E5A9B0C13}";

// A machine the agent can update: the client's Uninstall entry with its install folder, a patch
// carrying the sample installer, and a user temporary folder of the test's own (TMP and TEMP are
// inherited by the tool, the service stand-in and the agent it starts).
class LaunchE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_temp = m_root / L"user temp";
        m_install = m_root / L"Quovera";
        CreateDirectoryW(m_temp.c_str(), nullptr);
        CreateDirectoryW(m_install.c_str(), nullptr);
        CreateDirectoryW((m_install + L"\\Lumo").c_str(), nullptr);
        for (const wchar_t* name : {L"TMP", L"TEMP"})
        {
            wchar_t buf[MAX_PATH] = L"";
            GetEnvironmentVariableW(name, buf, MAX_PATH);
            m_saved.push_back(buf);
            SetEnvironmentVariableW(name, m_temp.c_str());
        }
        HKEY h;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &h, nullptr));
        std::wstring location = m_install + L"\\";
        RegSetValueExW(h, L"InstallLocation", 0, REG_SZ, reinterpret_cast<const BYTE*>(location.c_str()),
                       static_cast<DWORD>((location.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(h);

        std::wstring source = m_root / L"source";
        CreateDirectoryW(source.c_str(), nullptr);
        CreateDirectoryW((source + L"\\payload").c_str(), nullptr);
        WriteFileBytes(source + L"\\payload\\readme.txt", "patched");
        CopyFileW(BinPath(L"PatchMain.exe").c_str(), (source + L"\\PatchMain.exe").c_str(), FALSE);
        WriteFileBytes(source + L"\\PatchMain.ini", "[PatchMain]\r\nTargetDir=" + ToUtf8(m_install) + "\r\n");
        PatchBuildOptions options;
        options.sourceDir = source;
        options.outDir = m_root / L"out";
        options.pid = L"QVC-E2E";
        options.version = L"6.60.1.0";
        options.rangeBegin = L"6.50.0.0";
        options.rangeEnd = L"6.69.9.9";
        CreateDirectoryW(options.outDir.c_str(), nullptr);
        ASSERT_TRUE(BuildPatch(options, m_patch));
        m_patchName = m_patch.substr(m_patch.find_last_of(L'\\') + 1);
    }
    void TearDown() override
    {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
        SetEnvironmentVariableW(L"TMP", m_saved[0].empty() ? nullptr : m_saved[0].c_str());
        SetEnvironmentVariableW(L"TEMP", m_saved[1].empty() ? nullptr : m_saved[1].c_str());
    }

    std::wstring ToolCommand(const std::wstring& mode) const
    {
        return Quote(BinPath(L"LumoAgent.exe")) + L" " + mode + L" /p=\"" + m_patch + L"\"";
    }
    std::wstring Stage() const { return m_temp + L"\\LumoTool1"; }

    TempDir m_root;
    std::wstring m_temp, m_install, m_patch, m_patchName;
    std::vector<std::wstring> m_saved;
};

// Plays the agent's side of the result channel from outside: what is written, and whether the
// pipe is opened at all.
void ReportAsAgent(const std::wstring& text, bool openPipe)
{
    if (openPipe)
    {
        GpFile pipe(CreateFileW(L"\\\\.\\pipe\\nlxKVUpdate", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(pipe.IsValid());
        DWORD cb;
        WriteFile(pipe.Get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &cb, nullptr);
    }
    GpKernelHandle event(OpenEventW(EVENT_ALL_ACCESS, FALSE, L"nlxKVUpdateEvt"));
    ASSERT_TRUE(event.IsValid());
    SetEvent(event.Get());
}
} // namespace

TEST_F(LaunchE2E, StagedAgentReportsSuccessAndTheStagingFolderGoes)
{
    ServiceSimRunner sim;
    ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=1"));
    TraceCapture capture(L"QVS-Debug");
    ProcessResult r = RunProcess(ToolCommand(L"/sp"), 120000, m_root.Path());
    ASSERT_TRUE(r.started);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(0u, r.exitCode) << sim.Log();
    EXPECT_FALSE(FileExists(Stage()));
    // The service was asked to start the staged copy, and it did.
    std::string expected = "cmdline=<" + ToUtf8(Stage()) + "\\LumoAgent.exe /Agent /sp /p=\"" +
                           ToUtf8(Stage()) + "\\" + ToUtf8(m_patchName) + "\"> started=";
    EXPECT_NE(std::string::npos, sim.Log().find(expected)) << sim.Log();
    EXPECT_EQ(std::string::npos, sim.Log().find("started=0 ")) << sim.Log();
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] Exit String[SUCCESS]"));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] LumoAgent 正常終了"));
}

TEST_F(LaunchE2E, StagedAgentFailureBecomesTheToolsExitCode)
{
    // An older client whose module stays logged in cannot be updated silently: the agent stops
    // with 6 and the tool ends with it.
    ServiceSimRunner sim;
    ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=0x81"));
    TraceCapture capture(L"QVS-Debug");
    ProcessResult r = RunProcess(ToolCommand(L"/sn"), 120000, m_root.Path());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(6u, r.exitCode) << sim.Log();
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::ExitInstance] Exit String[FAILED /ExitCode=6 /ExtInfo="));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] LumoAgent Err[6], ["));
    EXPECT_TRUE(FileExists(Stage() + L"\\LumoAgent.exe"));
}

TEST_F(LaunchE2E, WithoutServiceTheToolEndsWithTenAndKeepsItsStaging)
{
    TraceCapture capture(L"QVS-Debug");
    ProcessResult r = RunProcess(ToolCommand(L"/sp"), 60000, m_root.Path());
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(10u, r.exitCode);
    ASSERT_TRUE(capture.WaitFor(L"[LumoAgentApp::LumoAgentAct] ！SendCommEx<STC_BASECMD_SYSEXEC>, code=0."));
    // The extended information 2 is the error the service call reported.
    EXPECT_TRUE(capture.Contains(L"(2:0x00000002)"));
    EXPECT_TRUE(FileExists(Stage() + L"\\LumoAgent.exe"));
    EXPECT_EQ(ReadFileBytes(m_patch), ReadFileBytes(Stage() + L"\\" + m_patchName));
}

TEST_F(LaunchE2E, ReportsFromTheAgentSide)
{
    struct Case
    {
        std::wstring report;
        bool openPipe;
        DWORD exitCode;
        bool stagingGone;
    } cases[] = {
        {L"FAILED /ExitCode=7 /ExtInfo=18", true, 7, false},
        {L"SUCCESS", true, 0, true},
        {L"SUCCESS!", true, 10, false},
        {std::wstring(256, L'A'), true, 10, false}, // fills the whole read buffer
        {L"FAILED /ExitCode=7", true, 10, false},
        {L"", false, 10, false}, // the agent found no pipe but raised the event
    };
    ServiceSimRunner sim;
    ASSERT_TRUE(sim.Start(L"/exec=off"));
    int requests = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ToUtf8(c.report.substr(0, 40)));
        ChildProcess tool;
        ASSERT_TRUE(tool.Start(ToolCommand(L"/sn"), m_root.Path()));
        ++requests;
        // The request reaches the service only once the channel exists.
        std::string log;
        for (int i = 0; i < 400; i++)
        {
            log = sim.Log();
            size_t n = 0;
            for (size_t p = 0; (p = log.find("cmd=11 ", p)) != std::string::npos; p++)
                n++;
            if (static_cast<int>(n) >= requests)
                break;
            Sleep(50);
        }
        ReportAsAgent(c.report, c.openPipe);
        DWORD code = 0;
        ASSERT_TRUE(tool.Wait(60000, &code));
        EXPECT_EQ(c.exitCode, code);
        EXPECT_EQ(c.stagingGone, !FileExists(Stage()));
        RemoveTree(Stage());
    }
}
