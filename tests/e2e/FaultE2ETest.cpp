// Faults the real programs must come through: a service that fails in the middle of a call, files
// held open by another process (as a scanner does), links in the client's folders, and an agent
// that nobody listens to. Agents run here are started directly, without a result channel.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/GpHandles.h"
#include "tests/e2e/ClientMachine.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/json/JsonTestUtil.h"
#include "tests/support/HostLink.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
// An older client whose module is already logged out: the agent needs no client window.
const wchar_t kLoggedOut[] = L"/version=6.59.0.0 /login=1";

class FaultE2E : public ::testing::Test
{
protected:
    // The agent as the service would start it, but with nobody on the result channel: it must end by
    // itself with its exit code.
    DWORD RunAgent(const std::wstring& patch, const std::wstring& switches = L"/sn")
    {
        std::wstring cmd =
            Quote(BinPath(L"LumoAgent.exe")) + L" /Agent " + switches + L" /p=\"" + patch + L"\"";
        ProcessResult r = RunProcess(cmd, 120000, m_machine.Root());
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut) << "the agent hung";
        return r.exitCode;
    }
    DWORD RunTool(const std::wstring& patch)
    {
        ProcessResult r = RunProcess(m_machine.ToolCommand(patch, L"/sn"), 120000, m_machine.Root());
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r.exitCode;
    }
    std::wstring Installed() const { return m_machine.InstallDir() + L"\\bin\\client.dll"; }
    std::wstring BuildPatch(const std::string& content, const std::wstring& version = L"6.70.0.1")
    {
        ClientMachine::Patch recipe;
        recipe.version = version;
        recipe.payload = {{L"bin\\client.dll", content}};
        return m_machine.BuildPatch(recipe);
    }

    ClientMachine m_machine;
    TraceCapture m_trace{L"QVS-Debug"};
};

// Holds a file or folder open without sharing, as a virus scanner does, until released.
class Holder
{
public:
    explicit Holder(const std::wstring& path)
        : m_file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr))
    {
    }
    bool Held() const { return m_file.IsValid(); }
    void Release() { m_file.Reset(); }
    // Releases after ms from another thread.
    void ReleaseAfter(DWORD ms)
    {
        m_thread = std::thread([this, ms] {
            Sleep(ms);
            Release();
        });
    }
    ~Holder()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    GpFile m_file;
    std::thread m_thread;
};
} // namespace

TEST_F(FaultE2E, ServiceFailingMidCallEndsWithTheDocumentedCodes)
{
    std::wstring patch = BuildPatch("new client");
    ASSERT_FALSE(patch.empty());
    struct Case
    {
        const wchar_t* service;
        bool tool; // run the tool (SYSEXEC) rather than the agent (version and login status)
        DWORD exitCode;
        const wchar_t* trace;         // what the failing side says
        const wchar_t* mode = L"/sn"; // the agent's run mode
    } cases[] = {
        // The tool: the service dies after reading SYSEXEC, or answers half of the 16-byte record
        // (it starts nothing here, so that no agent of a failed call runs on behind the test).
        {L"/exec=off /die:sysexec", true, 10,
         L"[LumoAgentApp::LumoAgentAct] ！SendCommEx<STC_BASECMD_SYSEXEC>, code="},
        {L"/exec=off /half:sysexec", true, 10,
         L"[RXUtil::SendCommEx] CallNamedPipe<opt=1, cmd=11>\u3000nOut=16 cb=8."},
        // A record longer than asked for is refused whole: nothing is read past the reply's size.
        {L"/exec=off /size:sysexec=600", true, 10,
         L"[LumoAgentApp::LumoAgentAct] ！SendCommEx<STC_BASECMD_SYSEXEC>, code="},
        // The agent: without a readable version or login status the module is not known to be
        // logged out, which is exit code 6.
        {L"/die:version", false, 6, L"[LumoAgentApp::IsSupportVer] ！SendCommEx\u3000｛"},
        {L"/half:version /login=0", false, 6,
         L"[RXUtil::SendCommEx] CallNamedPipe<opt=1, cmd=113>\u3000nOut=56 cb=28."},
        {L"/version=6.59.0.0 /half:login", false, 6,
         L"[RXUtil::SendCommEx] CallNamedPipe<opt=1, cmd=103>\u3000nOut=816 cb=408."},
        {L"/size:version=2000 /login=0", false, 6, L"[LumoAgentApp::IsSupportVer] ！SendCommEx\u3000｛"},
        {L"/version=6.59.0.0 /die:login", false, 6,
         L"[LumoAgentApp::IsLogoutStatus] ！SendCommEx<STC_GET_LOGINSTATUS>"},
        // A forced logout whose service dies is traced, and the forced update goes on.
        {L"/version=6.59.0.0 /login=0 /die:logout", false, 0, L"!SendCommEx(STC_MIR_LOGOUT) recv.code=<",
         L"/sf"},
        // Late answers are waited for: the update goes through.
        {L"/version=6.59.0.0 /login=1 /delay:version=1500 /delay:login=1500", false, 0, nullptr},
        {L"/version=6.59.0.0 /login=1 /delay:sysexec=1500", true, 0, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(ToUtf8(c.service));
        ServiceSimProcess service;
        ASSERT_TRUE(service.Start(c.service));
        m_trace.Clear();
        DeleteFileW(Installed().c_str());
        DWORD code = c.tool ? RunTool(patch) : RunAgent(patch, c.mode);
        EXPECT_EQ(c.exitCode, code) << service.Log();
        if (c.trace != nullptr)
        {
            EXPECT_TRUE(m_trace.WaitFor(c.trace)) << service.Log();
            for (const std::wstring& m : m_trace.Messages(c.trace))
                std::printf("%s -> %lu: %s\n", ToUtf8(c.service).c_str(), code, ToUtf8(m).c_str());
        }
        if (c.exitCode == 0)
        {
            EXPECT_EQ("new client", ReadFileBytes(Installed()));
        }
        else
        {
            EXPECT_FALSE(FileExists(Installed())) << "nothing is installed after a failed call";
            if (c.tool)
            {
                // The next run deletes it and takes the following number.
                std::wstring stage = m_machine.StagingDir();
                stage.pop_back();
                bool kept = false;
                for (wchar_t n : {L'1', L'2', L'3'})
                    kept = kept || FileExists(stage + n);
                EXPECT_TRUE(kept) << "a failed run keeps its staging";
            }
        }
    }
}

TEST_F(FaultE2E, AgentWithoutListenerEndsByItself)
{
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(kLoggedOut));
    std::wstring patch = BuildPatch("new client");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, RunAgent(patch));
    EXPECT_TRUE(m_trace.WaitFor(L"[LumoAgentApp::ExitInstance] pipe open error["));
    EXPECT_TRUE(m_trace.WaitFor(L"[LumoAgentApp::ExitInstance] event open error["));
    // A failing agent ends by itself too, with its own code.
    EXPECT_EQ(3u, RunAgent(m_machine.Root() + L"\\missing.zip"));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    std::printf("two agents without a listener ended in %lld ms\n", static_cast<long long>(ms.count()));
}

TEST_F(FaultE2E, HeldUpdateFolderFailsAndTheRerunCompletes)
{
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(kLoggedOut));
    ASSERT_EQ(0u, RunAgent(BuildPatch("new client")));
    std::wstring next = BuildPatch("newer client", L"6.70.0.2");
    struct Case
    {
        const char* name;
        std::wstring held;
    } cases[] = {
        {"the update folder", m_machine.UpdateDir()},
        {"a file inside it", m_machine.UpdateDir() + L"\\PatchMain.exe"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        m_trace.Clear();
        Holder holder(c.held);
        ASSERT_TRUE(holder.Held());
        DWORD code = RunAgent(next);
        if (code != 0)
        {
            // The old update folder can be neither moved nor emptied: nothing is installed.
            EXPECT_EQ(10u, code);
            EXPECT_TRUE(m_trace.WaitFor(L"[LumoAgentApp::AgentProgress] ！ShDelete("));
            for (const std::wstring& m : m_trace.Messages(L"[LumoAgentApp::AgentProgress] ！"))
                std::printf("  %s\n", ToUtf8(m).c_str());
            EXPECT_EQ("new client", ReadFileBytes(Installed()));
            EXPECT_EQ(L"6.70.0.1", ClientMachine::StatusValue(L"QVC-E2E", L"CurrentVersion"));
        }
        else
        {
            // Where the folder could be moved aside with the file held in it (Wine), the new one is
            // made fresh and the update goes through.
            EXPECT_EQ("newer client", ReadFileBytes(Installed()));
        }
        std::printf("held %s: agent ended with %lu\n", c.name, code);
        holder.Release();
        EXPECT_EQ(0u, RunAgent(next)) << "the rerun after the release";
        EXPECT_EQ("newer client", ReadFileBytes(Installed()));
        EXPECT_EQ(L"6.70.0.2", ClientMachine::StatusValue(L"QVC-E2E", L"CurrentVersion"));
        // Back to the first state for the next case.
        ASSERT_EQ(0u, RunAgent(BuildPatch("new client")));
    }
}

TEST_F(FaultE2E, StatusAndSettingsFilesHeldForAWhileAreWaitedFor)
{
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(kLoggedOut));
    std::wstring settings = ClientMachine::SystemDir() + L"\\ServerSetting.cfg";
    ASSERT_TRUE(jsontest::WriteEncryptedText(settings, L"{\"Server\":\"qv.example\",\"DeleteFiles\":true}"));
    ASSERT_TRUE(WriteFileBytes(ClientMachine::StatusFile(), "[QVC-E2E]\r\nCurrentVersion=6.60.0.0\r\n"));
    std::wstring patch = BuildPatch("new client");
    {
        Holder status(ClientMachine::StatusFile());
        Holder cfg(settings);
        ASSERT_TRUE(status.Held() && cfg.Held());
        status.ReleaseAfter(2500);
        cfg.ReleaseAfter(2500);
        EXPECT_EQ(0u, RunAgent(patch, L"/sn /LeaveCache"));
    }
    EXPECT_EQ(L"6.70.0.1", ClientMachine::StatusValue(L"QVC-E2E", L"CurrentVersion"));
    EXPECT_EQ(L"3", ClientMachine::StatusValue(L"QVC-E2E", L"UpdateStatus"));
    EXPECT_NE(std::wstring::npos, jsontest::DecryptedText(settings).find(L"\"DeleteFiles\" : false"));
    DeleteFileW(settings.c_str());
}

// Links where the agent deletes with system rights. Under Wine 8 a host symbolic link to a folder
// shows the reparse-point attribute, but a move of it moves what it points to and every handle on it
// is its target's: the agent must not move it, and cannot remove it, so it stops with exit code 10
// and leaves the target alone. On Windows the link itself would be removed and the update go on.
TEST_F(FaultE2E, LinksInTheUpdateFoldersAreNeverFollowed)
{
    if (!HostAvailable())
        GTEST_SKIP() << "needs Wine's host entries to make a link";
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(kLoggedOut));
    std::wstring patch = BuildPatch("new client");
    TempDir precious;
    ASSERT_TRUE(WriteFileBytes(precious / L"keep.txt", "keep"));
    std::wstring oldPatch = m_machine.InstallDir() + L"\\Lumo\\old_patch";
    struct Case
    {
        const char* name;
        std::wstring link;
        bool updateFolderFirst; // a real update folder exists beside or around the link
        DWORD exitCode;         // under Wine 8
    } cases[] = {
        // Neither movable nor removable as a link here: the road stops before anything is made.
        {"the update folder is a link", m_machine.UpdateDir(), false, 10},
        // Moved aside with the real folder; the old folder's deletion leaves the link alone.
        {"a link inside the update folder", m_machine.UpdateDir() + L"\\inside", true, 0},
        // Not removable here and not moved onto: the update folder is deleted in place.
        {"a leftover old_patch link", oldPatch, true, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        RemoveTree(oldPatch);
        if (c.updateFolderFirst)
        {
            ASSERT_EQ(0u, RunAgent(patch));
        }
        m_trace.Clear();
        ASSERT_TRUE(MakeHostLink(c.link, precious.Path()));
        DWORD code = RunAgent(patch);
        std::printf("%s: agent ended with %lu\n", c.name, code);
        EXPECT_EQ("keep", ReadFileBytes(precious / L"keep.txt")) << "what the link points to stays";
        EXPECT_FALSE(FileExists(precious / L"PatchMain.exe")) << "nothing is written through the link";
        EXPECT_TRUE(m_trace.WaitFor(L"[ShDelete] リンクはリンクとして削除\u3000<"));
        if (code == 0)
        {
            EXPECT_EQ("new client", ReadFileBytes(Installed()));
        }
        // On Windows the link goes and the update completes; Wine cannot remove it.
        EXPECT_EQ(c.exitCode, code);
        HostShell(m_machine.InstallDir(), "find . -type l -delete");
        EXPECT_EQ(0u, RunAgent(patch)) << "the rerun once the link is gone";
    }
}
