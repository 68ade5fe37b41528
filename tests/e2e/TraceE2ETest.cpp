// What a local user can do to the real updater through its trace: listeners on the debug pipe
// that stall it, and the shared trace settings written by a process that maps the executable.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "common/GpHandles.h"
#include "common/GpTraceInternal.h"
#include "tests/e2e/ClientMachine.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/StallingListener.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
using MappedImage = GpModule;

// The trace settings section of an executable mapped into this process.
GpTraceSettings* SharedSettingsOf(HMODULE image)
{
    auto* base = reinterpret_cast<BYTE*>(image);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    IMAGE_SECTION_HEADER* sec = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, sec++)
        if (memcmp(sec->Name, ".gp_debu", 8) == 0)
            return reinterpret_cast<GpTraceSettings*>(base + sec->VirtualAddress);
    return nullptr;
}
} // namespace

// Any process can map the executable and write its shared trace settings. A tool process follows
// them (the settings are shared by design); an agent keeps to its own.
TEST(TraceSettingsE2E, AnAgentIgnoresSharedSettingsWrittenByAnotherProcess)
{
    TempDir dir;
    const std::wstring exe = dir / L"LumoAgent.exe"; // a copy: the section is shared per file
    ASSERT_TRUE(CopyFileW(BinPath(L"LumoAgent.exe").c_str(), exe.c_str(), FALSE));
    MappedImage image(LoadLibraryExW(exe.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    ASSERT_TRUE(image);
    GpTraceSettings* shared = SharedSettingsOf(image.Get());
    ASSERT_NE(nullptr, shared);
    const std::wstring steeredPipe = L"QVS-T-steered";
    const std::wstring steeredLog = dir / L"steered.log";
    wcscpy(shared->szPipeName, steeredPipe.c_str());
    shared->nFileLevel = 42;
    snprintf(shared->szLogPath, sizeof(shared->szLogPath), "%s", ToUtf8(steeredLog).c_str());

    struct Case
    {
        const wchar_t* mode;
        bool followsSharedSettings;
    } cases[] = {{L"/Agent /sn", false}, {L"/sn", true}};
    for (const Case& c : cases)
    {
        TraceCapture real(L"QVS-Debug");
        TraceCapture steered(steeredPipe);
        std::wstring cmd = Quote(exe) + L" " + c.mode + L" /p=\"" + (dir / L"QVClient_v0.zip") + L"\"";
        ProcessResult r = RunProcess(cmd, 60000, dir.Path());
        ASSERT_TRUE(r.started && !r.timedOut) << c.mode;
        EXPECT_NE(0u, r.exitCode) << c.mode; // no service, no patch: the road stops early
        if (c.followsSharedSettings)
        {
            EXPECT_TRUE(steered.WaitFor(L"[LumoAgentApp::SetRunMode]")) << c.mode;
            EXPECT_TRUE(FileExists(steeredLog)) << c.mode;
        }
        else
        {
            EXPECT_TRUE(real.WaitFor(L"[LumoAgentApp::SetRunMode] System 権限で起動")) << c.mode;
            EXPECT_TRUE(real.WaitFor(L"[LumoAgentApp::ExitInstance]")) << c.mode;
            EXPECT_TRUE(steered.Records().empty()) << c.mode;
            EXPECT_FALSE(FileExists(steeredLog)) << c.mode;
            EXPECT_EQ(42, shared->nFileLevel) << "the agent must not have written the shared block either";
        }
    }
}

// The whole tool road with a listener on the debug pipe that stalls: the tool and the agent each
// lose at most one bounded wait to it and the update ends as it would without it.
TEST(TraceListenerE2E, TheRoadEndsNormallyWhateverTheListenerDoes)
{
    struct Case
    {
        const char* name;
        bool listener;
        StallingListener::Kind kind;
    } cases[] = {
        {"no listener", false, StallingListener::Kind::NeverAnswers},
        {"never answers", true, StallingListener::Kind::NeverAnswers},
        {"answers after 3 s", true, StallingListener::Kind::AnswersLate},
        {"every instance busy", true, StallingListener::Kind::AllBusy},
    };
    ULONGLONG baseline = 0;
    for (const Case& c : cases)
    {
        ClientMachine machine;
        std::wstring patch = machine.BuildPatch({});
        ASSERT_FALSE(patch.empty());
        ServiceSimProcess sim;
        ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=1"));
        std::unique_ptr<StallingListener> listener;
        if (c.listener)
        {
            listener.reset(new StallingListener(L"QVS-Debug", c.kind, 3000, L"LumoAgent.exe"));
            ASSERT_TRUE(listener->Ready()) << c.name;
        }
        ULONGLONG start = GetTickCount64();
        ProcessResult r = RunProcess(machine.ToolCommand(patch, L"/sp"), 120000, machine.Root());
        ULONGLONG elapsed = GetTickCount64() - start;
        ASSERT_TRUE(r.started) << c.name;
        ASSERT_FALSE(r.timedOut) << c.name;
        EXPECT_EQ(0u, r.exitCode) << c.name << "\n" << sim.Log();
        EXPECT_EQ(L"6.70.0.1", ClientMachine::StatusValue(L"QVC-E2E", L"CurrentVersion")) << c.name;
        if (!c.listener)
            baseline = elapsed;
        else if (c.kind != StallingListener::Kind::AllBusy)
        {
            // It was offered the first record of the tool and of the agent, and nothing more.
            EXPECT_GE(listener->Records(), 1) << c.name;
            EXPECT_LE(listener->Records(), 2) << c.name;
        }
        printf("[ road time ] %-20s %6llu ms (no listener %llu ms)\n", c.name, elapsed, baseline);
        fflush(stdout);
        // Each process waits once: 1 s for a reply, or 100 x 50 ms for a free instance.
        EXPECT_LT(elapsed, baseline + (c.kind == StallingListener::Kind::AllBusy ? 15000u : 6000u)) << c.name;
    }
}
