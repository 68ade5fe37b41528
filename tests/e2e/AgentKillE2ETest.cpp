// The agent killed at points along its road on a 50 MiB patch, then the same command line run
// again: the rerun must complete the update from scratch, taking nothing from the killed run.
// The CI run takes a few points; scripts/killtest.sh runs them all and prints the table.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <time.h>

#include <tlhelp32.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "tests/app/CommandLineApp.h"
#include "tests/e2e/ClientMachine.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
const wchar_t kService[] = L"/version=6.59.0.0 /login=1";
const wchar_t kPid[] = L"QVC-E2E";
const wchar_t kVersion[] = L"6.70.0.1";
constexpr size_t kPayloadBytes = 50u << 20;
constexpr int kInstallerDelayMs = 300;

double Now()
{
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

long long SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fa))
        return -1;
    return (static_cast<long long>(fa.nFileSizeHigh) << 32) | fa.nFileSizeLow;
}

// Every file and folder under dir, as relative paths ("payload\bin\" for a folder).
void ListTree(const std::wstring& dir, const std::wstring& rel, std::vector<std::wstring>& out)
{
    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW((dir + L"\\" + rel + L"*").c_str(), &fd));
    if (!find)
        return;
    do
    {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            out.push_back(rel + name + L"\\");
            ListTree(dir, rel + name + L"\\", out);
        }
        else
        {
            out.push_back(rel + name);
        }
    } while (FindNextFileW(find.Get(), &fd));
}

std::string Join(const std::vector<std::wstring>& names)
{
    std::string s;
    for (const std::wstring& n : names)
        s += (s.empty() ? "" : " ") + ToUtf8(n);
    return s;
}

// Ends the installers a killed agent left running, as a power loss would.
int KillOrphanInstallers(DWORD dwAgentPid)
{
    int n = 0;
    GpFile snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap)
        return 0;
    PROCESSENTRY32W pe = {};
    pe.dwSize = sizeof(pe);
    for (BOOL ok = Process32FirstW(snap.Get(), &pe); ok; ok = Process32NextW(snap.Get(), &pe))
    {
        if (pe.th32ParentProcessID != dwAgentPid || _wcsicmp(pe.szExeFile, L"PatchMain.exe") != 0)
            continue;
        GpKernelHandle h(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pe.th32ProcessID));
        if (h && TerminateProcess(h.Get(), 259))
        {
            WaitForSingleObject(h.Get(), 5000);
            n++;
        }
    }
    return n;
}

// The tool's end of the result channel, made before each agent run.
class ResultChannel
{
public:
    ResultChannel()
        : m_pipe(CreateNamedPipeW(L"\\\\.\\pipe\\nlxKVUpdate", PIPE_ACCESS_DUPLEX, 0, 2, 520, 520,
                                  NMPWAIT_WAIT_FOREVER, nullptr)),
          m_event(CreateEventW(nullptr, FALSE, FALSE, L"nlxKVUpdateEvt"))
    {
    }
    bool IsValid() const { return m_pipe.IsValid() && m_event.IsValid(); }
    // The agent's report, or "" when it raised no event.
    std::wstring Report()
    {
        if (WaitForSingleObject(m_event.Get(), 0) != WAIT_OBJECT_0)
            return L"";
        wchar_t text[257] = {};
        DWORD cb = 0;
        ReadFile(m_pipe.Get(), text, 512, &cb, nullptr);
        return text;
    }

private:
    GpFile m_pipe;
    GpKernelHandle m_event;
};

enum WatchedFile
{
    NO_FILE = -1,
    OLD_PATCH,
    PATCH_COPY,
    WORK_INNER,
    EXPANDED_PAYLOAD,
    INSTALLED_PAYLOAD,
    WATCHED_FILES
};

// Where to kill: once the trace record has come (none: at once), and then either when the watched
// file has reached the share of its final size, or after the share of the time the first full run
// took from that record to phaseEnd's. The shown file's size at the kill goes into the table.
struct KillPoint
{
    const char* name;
    const wchar_t* trace;
    const wchar_t* phaseEnd;
    double share;
    int waitFile;
    int showFile;
    int delayMs;
};

const wchar_t kCopy[] = L"[LumoAgentApp::AgentProgress] Copy [";
const wchar_t kExpandBegin[] = L"[ZLibExpand] begin";
const wchar_t kExpandEnd[] = L"[ZLibExpand] \u3000end";
const wchar_t kConfigRead[] = L"[LumoAgentApp::GetPatchInfo] end    [";
const wchar_t kHashRead[] = L"[CHashUtil::CalcHashOnce] size=";
const wchar_t kHashed[] = L"CalcHashOnce rc=";
const wchar_t kExpanded[] = L"Patch File Expand Success";
const wchar_t kInstallerStart[] = L"Wait Start hProcess";
const wchar_t kInstallerEnd[] = L"終了済み ExitCode=37";
const wchar_t kStatusBegin[] = L"[LumoAgentApp::WriteUpdateStatus] configini[";
const wchar_t kStatusWritten[] = L"[LumoAgentApp::WriteUpdateStatus] succes log";

const KillPoint kAllPoints[] = {
    {"logout checked", L"はログアウトされていることを確認", nullptr, 0, NO_FILE, NO_FILE, 0},
    {"old update folder met", L"Lumo Update Folder Exist[", nullptr, 0, NO_FILE, NO_FILE, 0},
    {"old_patch being deleted", nullptr, nullptr, 0, OLD_PATCH, NO_FILE, 0},
    {"patch copy 10%", kCopy, kExpandBegin, 0.1, NO_FILE, PATCH_COPY, 0},
    {"patch copy 50%", kCopy, kExpandBegin, 0.5, NO_FILE, PATCH_COPY, 0},
    {"patch copy 90%", kCopy, kExpandBegin, 0.9, NO_FILE, PATCH_COPY, 0},
    {"patch expansion 10%", kExpandBegin, kExpandEnd, 0.1, NO_FILE, WORK_INNER, 0},
    {"patch expansion 50%", kExpandBegin, kExpandEnd, 0.5, NO_FILE, WORK_INNER, 0},
    {"patch expansion 90%", kExpandBegin, kExpandEnd, 0.9, NO_FILE, WORK_INNER, 0},
    {"configuration read", L"[LumoAgentApp::GetPatchInfo] config info ----", nullptr, 0, NO_FILE, NO_FILE, 0},
    {"hash read 50%", kConfigRead, kHashRead, 0.5, NO_FILE, NO_FILE, 0},
    {"hashing 10%", kHashRead, kHashed, 0.1, NO_FILE, NO_FILE, 0},
    {"hashing 50%", kHashRead, kHashed, 0.5, NO_FILE, NO_FILE, 0},
    {"hashing 90%", kHashRead, kHashed, 0.9, NO_FILE, NO_FILE, 0},
    {"inner expansion 10%", kHashed, kExpanded, 0.1, NO_FILE, EXPANDED_PAYLOAD, 0},
    {"inner expansion 50%", kHashed, kExpanded, 0.5, NO_FILE, EXPANDED_PAYLOAD, 0},
    {"inner expansion 90%", kHashed, kExpanded, 0.9, NO_FILE, EXPANDED_PAYLOAD, 0},
    {"work folder deletion", kExpanded, kInstallerStart, 0.3, NO_FILE, NO_FILE, 0},
    {"installer started", kInstallerStart, nullptr, 0, NO_FILE, INSTALLED_PAYLOAD, 0},
    {"installer pausing", kInstallerStart, nullptr, 0, NO_FILE, INSTALLED_PAYLOAD, kInstallerDelayMs / 2},
    {"installer copy 30%", kInstallerStart, nullptr, 0.3, INSTALLED_PAYLOAD, INSTALLED_PAYLOAD, 0},
    {"installer copy 70%", kInstallerStart, nullptr, 0.7, INSTALLED_PAYLOAD, INSTALLED_PAYLOAD, 0},
    {"installer ended", kInstallerEnd, nullptr, 0, NO_FILE, NO_FILE, 0},
    {"status record begun", kStatusBegin, nullptr, 0, NO_FILE, NO_FILE, 0},
    {"status record 30%", kStatusBegin, kStatusWritten, 0.3, NO_FILE, NO_FILE, 0},
    {"status record 70%", kStatusBegin, kStatusWritten, 0.7, NO_FILE, NO_FILE, 0},
    {"status record written", kStatusWritten, nullptr, 0, NO_FILE, NO_FILE, 0},
    {"report written", L"Exit String[SUCCESS]", nullptr, 0, NO_FILE, NO_FILE, 0},
};

// Seconds of the day of a record's time stamp ("[2026/12/10 12:17:14.097000]").
double RecordSeconds(const std::wstring& time)
{
    size_t at = time.find_last_of(L' ');
    if (at == std::wstring::npos)
        return -1;
    int h = 0, m = 0;
    double sec = 0;
    if (swscanf(time.c_str() + at + 1, L"%d:%d:%lf", &h, &m, &sec) != 3)
        return -1;
    return h * 3600.0 + m * 60.0 + sec;
}

// A machine with the client installed, the service stand-in, and a 50 MiB patch whose installer
// logs its runs.
class Rig
{
public:
    bool Prepare()
    {
        if (!m_service.Start(kService))
            return false;
        std::mt19937 rng(16);
        m_data.resize(kPayloadBytes);
        for (size_t i = 0; i + 4 <= m_data.size(); i += 4)
        {
            unsigned v = rng();
            memcpy(&m_data[i], &v, 4);
        }
        m_runLog = m_machine.Root() + L"\\installer runs.log";
        ClientMachine::Patch patchDesc;
        patchDesc.installerDelayMs = kInstallerDelayMs;
        patchDesc.installerRunLog = m_runLog;
        patchDesc.payload = {{L"bin\\data.bin", m_data}};
        m_patch = m_machine.BuildPatch(patchDesc);
        if (m_patch.empty())
            return false;
        m_patchBytes = ReadFileBytes(m_patch);
        m_patchName = m_patch.substr(m_patch.find_last_of(L'\\') + 1);
        m_cmd = Quote(BinPath(L"LumoAgent.exe")) + L" /Agent /sp /p=\"" + m_patch + L"\"";
        std::wstring update = m_machine.UpdateDir();
        m_watched[OLD_PATCH] = m_machine.InstallDir() + L"\\Lumo\\old_patch";
        m_watched[PATCH_COPY] = update + L"\\" + m_patchName;
        m_watched[WORK_INNER] = update + L"\\Work\\x86\\common\\x86_common.zip";
        m_watched[EXPANDED_PAYLOAD] = update + L"\\payload\\bin\\data.bin";
        m_watched[INSTALLED_PAYLOAD] = m_machine.InstallDir() + L"\\bin\\data.bin";
        // Another product's record must outlive every rewrite of the status file.
        WritePrivateProfileStringW(L"QVC-OTHER", L"CurrentVersion", L"1.0.0.0",
                                   ClientMachine::StatusFile().c_str());
        return true;
    }

    // One whole run; "" when it left a complete update behind, else what was wrong.
    std::string RunAndCheck(double* pSeconds = nullptr)
    {
        long long logAt = SizeOf(m_runLog) < 0 ? 0 : SizeOf(m_runLog);
        WritePrivateProfileStringW(kPid, L"UpdateStatus", L"stale", ClientMachine::StatusFile().c_str());
        __time64_t started = _time64(nullptr);
        ResultChannel channel;
        if (!channel.IsValid())
            return "no result channel";
        double t0 = Now();
        ProcessResult r = RunProcess(m_cmd, 240000, m_machine.Root());
        if (pSeconds != nullptr)
            *pSeconds = Now() - t0;
        std::string wrong;
        if (!r.started)
            return "agent not started (error " + std::to_string(GetLastError()) + ")";
        if (r.timedOut || r.exitCode != 0)
            wrong += "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (hung)" : "") + "; ";
        std::wstring report = channel.Report();
        if (report != L"SUCCESS")
            wrong += "report <" + ToUtf8(report) + ">; ";
        wrong += CheckUpdateFolder();
        std::string runs = ReadFileBytes(m_runLog).substr(static_cast<size_t>(logAt));
        size_t pidAt = runs.find("start pid=");
        std::string pid =
            pidAt == std::string::npos ? "?" : runs.substr(pidAt + 10, runs.find('\r') - pidAt - 10);
        if (runs != "start pid=" + pid + "\r\nend pid=" + pid + " exit=37\r\n")
            wrong += "installer runs <" + runs + ">; ";
        if (ReadFileBytes(m_watched[INSTALLED_PAYLOAD]) != m_data)
            wrong += "installed file differs; ";
        wrong += CheckStatus(started);
        return wrong;
    }

    std::string CheckUpdateFolder()
    {
        std::string wrong;
        std::vector<std::wstring> names;
        ListTree(m_machine.UpdateDir(), L"", names);
        std::vector<std::wstring> expected = {m_patchName,  L"PatchMain.exe",  L"PatchMain.ini",
                                              L"payload\\", L"payload\\bin\\", L"payload\\bin\\data.bin"};
        std::sort(names.begin(), names.end());
        std::sort(expected.begin(), expected.end());
        if (names != expected)
            wrong += "update folder holds <" + Join(names) + ">; ";
        if (ReadFileBytes(m_watched[PATCH_COPY]) != m_patchBytes)
            wrong += "patch copy differs; ";
        if (ReadFileBytes(m_watched[EXPANDED_PAYLOAD]) != m_data)
            wrong += "expanded payload differs; ";
        if (ReadFileBytes(m_machine.UpdateDir() + L"\\PatchMain.exe") !=
            ReadFileBytes(BinPath(L"PatchMain.exe")))
            wrong += "installer differs; ";
        std::vector<std::wstring> lumo;
        ListTree(m_machine.InstallDir() + L"\\Lumo", L"", lumo);
        for (const std::wstring& n : lumo)
            if (n.rfind(L"QuoveraClient\\", 0) != 0)
            {
                wrong += "beside the update folder <" + ToUtf8(n) + ">; ";
                break;
            }
        return wrong;
    }

    std::string CheckStatus(__time64_t started)
    {
        std::string wrong;
        auto value = [](const wchar_t* section, const wchar_t* key) {
            return ClientMachine::StatusValue(section, key);
        };
        if (value(kPid, L"UpdateStatus") != L"3" || value(kPid, L"CurrentVersion") != kVersion ||
            value(kPid, L"SupportInfo") != L"" || value(kPid, L"UpdateType") != L"<missing>")
            wrong += "status record <" + ToUtf8(value(kPid, L"UpdateStatus")) + "," +
                     ToUtf8(value(kPid, L"CurrentVersion")) + "," + ToUtf8(value(kPid, L"UpdateType")) +
                     ">; ";
        __time64_t entry = _wtoi64(value(kPid, L"CurrentEntryDate").c_str());
        if (entry < started || entry > _time64(nullptr))
            wrong += "entry date " + std::to_string(entry) + "; ";
        if (value(L"QVC-OTHER", L"CurrentVersion") != L"1.0.0.0")
            wrong += "other product's record lost; ";
        return wrong;
    }

    struct KillResult
    {
        bool killed = false; // false: the run ended before the point was reached
        std::string atKill;  // the shown file's share
        std::wstring lastRecord;
        std::string left; // what the killed run left behind
    };

    // Milliseconds from the first record holding `from` to the first holding `to` in the
    // records kept from the first full run.
    double PhaseMs(const wchar_t* from, const wchar_t* to) const
    {
        double t0 = -1, t1 = -1;
        for (const DebugRecord& r : m_firstRun)
        {
            if (t0 < 0 && r.message.find(from) != std::wstring::npos)
                t0 = RecordSeconds(r.time);
            else if (t0 >= 0 && t1 < 0 && r.message.find(to) != std::wstring::npos)
                t1 = RecordSeconds(r.time);
        }
        return t0 >= 0 && t1 >= t0 ? (t1 - t0) * 1000 : 0;
    }

    long long FullSize(int file) const
    {
        // The inner archive of random data is as large as the payload, give or take its headers.
        return file == PATCH_COPY  ? static_cast<long long>(m_patchBytes.size())
               : file == OLD_PATCH ? 0
                                   : static_cast<long long>(m_data.size());
    }

    KillResult RunAndKill(const KillPoint& point)
    {
        KillResult kr;
        // The client's installed file is the old one again, so that the installer's copy is seen.
        DeleteFileW(m_watched[INSTALLED_PAYLOAD].c_str());
        long long logAt = SizeOf(m_runLog) < 0 ? 0 : SizeOf(m_runLog);
        m_trace.Clear();
        ResultChannel channel;
        ChildProcess agent;
        if (!channel.IsValid() || !agent.Start(m_cmd, m_machine.Root()))
        {
            kr.atKill = "agent not started";
            return kr;
        }
        long long target =
            point.waitFile == NO_FILE
                ? 0
                : static_cast<long long>(point.share * static_cast<double>(FullSize(point.waitFile)));
        double delayMs = point.delayMs;
        if (point.phaseEnd != nullptr)
            delayMs += point.share * PhaseMs(point.trace, point.phaseEnd);
        bool reached = false;
        double deadline = Now() + 180;
        while (!reached && Now() < deadline && WaitForSingleObject(agent.Handle(), 0) == WAIT_TIMEOUT)
        {
            reached = point.trace == nullptr || m_trace.Contains(point.trace);
            if (reached && point.waitFile != NO_FILE)
                reached = SizeOf(m_watched[point.waitFile]) >= target;
            if (!reached)
                YieldProcessor();
        }
        if (!reached)
        {
            kr.atKill = "not reached";
            agent.Terminate();
            return kr;
        }
        double until = Now() + delayMs / 1000;
        while (Now() < until)
            YieldProcessor();
        DWORD dwPid = agent.Pid();
        agent.Terminate();
        kr.killed = true;
        int orphans = KillOrphanInstallers(dwPid);

        // Where the agent was: its last record, and how far the shown file had grown.
        std::vector<DebugRecord> records = m_trace.RecordsOf(dwPid);
        kr.lastRecord = records.empty() ? L"(none)" : records.back().message.substr(0, 44);
        if (point.showFile != NO_FILE)
        {
            long long now = SizeOf(m_watched[point.showFile]);
            char buf[32];
            if (now < 0)
                sprintf(buf, "none");
            else
                sprintf(buf, "%lld%%", now * 100 / FullSize(point.showFile));
            kr.atKill = buf;
        }
        else
        {
            kr.atKill = "-";
        }
        // What the killed run left behind.
        if (FileExists(m_watched[OLD_PATCH]))
            kr.left += "old_patch ";
        if (FileExists(m_machine.UpdateDir() + L"\\Work"))
            kr.left += "Work ";
        long long copy = SizeOf(m_watched[PATCH_COPY]);
        if (copy >= 0 && copy < static_cast<long long>(m_patchBytes.size()))
            kr.left += "cut-patch-copy ";
        long long expanded = SizeOf(m_watched[EXPANDED_PAYLOAD]);
        if (expanded >= 0 && expanded < static_cast<long long>(m_data.size()))
            kr.left += "cut-payload ";
        if (!FileExists(m_machine.UpdateDir()))
            kr.left += "no-update-folder ";
        std::string runs = ReadFileBytes(m_runLog).substr(static_cast<size_t>(logAt));
        if (runs.find("start") != std::string::npos && runs.find("end") == std::string::npos)
            kr.left += "installer-cut ";
        if (orphans > 0)
            kr.left += "installer-killed ";
        if (channel.Report() == L"SUCCESS")
            kr.left += "reported ";
        if (kr.left.empty())
            kr.left = "-";
        return kr;
    }

    ClientMachine m_machine;
    ServiceSimProcess m_service;
    TraceCapture m_trace{L"QVS-Debug"};
    std::string m_data, m_patchBytes;
    std::wstring m_patch, m_patchName, m_runLog, m_cmd;
    std::wstring m_watched[WATCHED_FILES];
    std::vector<DebugRecord> m_firstRun;
};

void RunPoints(const std::vector<KillPoint>& points)
{
    double t0 = Now();
    Rig rig;
    ASSERT_TRUE(rig.Prepare());
    double firstRun = 0;
    std::string first = rig.RunAndCheck(&firstRun);
    ASSERT_EQ("", first) << "the first full run";
    rig.m_firstRun = rig.m_trace.Records();
    printf("patch %lld bytes, payload %zu bytes; full run %.1f s\n",
           static_cast<long long>(rig.m_patchBytes.size()), rig.m_data.size(), firstRun);
    printf("%-24s | %-44s | %-5s | %-34s | %s\n", "kill point", "last record of the killed agent", "file",
           "left by the killed run", "rerun");
    int nKilled = 0;
    for (const KillPoint& point : points)
    {
        Rig::KillResult kr = rig.RunAndKill(point);
        std::string wrong = rig.RunAndCheck();
        printf("%-24s | %-44s | %-5s | %-34s | %s\n", point.name, ToUtf8(kr.lastRecord).c_str(),
               kr.atKill.c_str(), kr.left.c_str(), wrong.empty() ? "SUCCESS, complete" : wrong.c_str());
        fflush(stdout);
        EXPECT_TRUE(kr.killed) << point.name << ": " << kr.atKill;
        EXPECT_EQ("", wrong) << point.name;
        nKilled += kr.killed ? 1 : 0;
    }
    printf("%d of %zu points killed; %.1f s\n", nKilled, points.size(), Now() - t0);
}
} // namespace

TEST(AgentKill, RerunAfterAKillCompletesTheUpdate)
{
    std::vector<KillPoint> points;
    for (const char* name : {"old_patch being deleted", "patch copy 50%", "hashing 50%",
                             "inner expansion 50%", "installer copy 30%", "status record 30%"})
        for (const KillPoint& p : kAllPoints)
            if (strcmp(p.name, name) == 0)
                points.push_back(p);
    ASSERT_EQ(6u, points.size());
    RunPoints(points);
}

// The long run (scripts/killtest.sh): every point.
TEST(AgentKill, DISABLED_EveryPoint)
{
    RunPoints(std::vector<KillPoint>(std::begin(kAllPoints), std::end(kAllPoints)));
}

// The tool's side: its agent dies without a report. The tool is this test program (in-process,
// with its waits shortened through the seam), so its staged copy of the program is this test
// program too: the service stand-in starts the real agent in its place, with the staged command
// line, and names it as the agent the tool checks for.
TEST(AgentKillTool, ToolOfAKilledAgentFailsAndTheNextRunReusesTheStaging)
{
    ClientMachine machine;
    ServiceSimProcess service;
    ASSERT_TRUE(service.Start(L"\"/exec=as:" + BinPath(L"LumoAgent.exe") + L"\" /version=6.59.0.0 /login=1"));
    TraceCapture trace(L"QVS-Debug");
    std::wstring patch = machine.BuildPatch({});
    ASSERT_FALSE(patch.empty());
    std::wstring patchName = patch.substr(patch.find_last_of(L'\\') + 1);

    // The agent the service started for the latest request.
    auto startedAgent = [&](GpKernelHandle& agent) {
        std::string log = service.Log();
        size_t at = log.rfind(" started=");
        DWORD pid =
            at == std::string::npos ? 0 : static_cast<DWORD>(strtoul(log.c_str() + at + 9, nullptr, 10));
        agent.Reset(pid != 0 ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid) : nullptr);
        return pid;
    };
    const std::wstring toolArgs = L"/sp /p=\"" + patch + L"\"";

    GpKernelHandle agent;
    int waits = 0;
    DWORD agentPid = 0;
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD) {
        if (waits++ == 0)
        {
            agentPid = startedAgent(agent);
            EXPECT_TRUE(agent.IsValid()) << service.Log();
            // Killed early on its road: no installer of its own is left running.
            EXPECT_TRUE(trace.WaitFor(L"[LumoAgentApp::GetInstallDir] 32bit mode.", 60000));
            TerminateProcess(agent.Get(), 1);
            WaitForSingleObject(agent.Get(), 5000);
            KillOrphanInstallers(agentPid);
        }
        return WaitForSingleObject(h, 2); // the ten minutes pass in a second or two
    };
    CommandLineApp tool(toolArgs);
    EXPECT_EQ(0, tool.UserProgress());
    EXPECT_EQ(600, waits);
    EXPECT_EQ(10, tool.m_nExitCode);
    EXPECT_EQ(ERROR_TIMEOUT, tool.m_nExtInfo);
    std::wstring stage1 = machine.StagingDir();
    EXPECT_TRUE(FileExists(stage1 + L"\\" + patchName)) << "a failed run keeps its staging folder";

    // The next run deletes the left staging folder, stages afresh and completes the update.
    waits = 0;
    GpSeam().WaitForObjectFn = [&](HANDLE h, DWORD ms) {
        if (waits++ == 0)
        {
            startedAgent(agent);
            EXPECT_TRUE(agent.IsValid()) << service.Log();
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(agent.Get(), 120000));
        }
        return WaitForSingleObject(h, ms);
    };
    CommandLineApp again(toolArgs);
    EXPECT_EQ(1, again.UserProgress()) << service.Log();
    EXPECT_EQ(0, again.m_nExitCode);
    EXPECT_EQ(1, waits);
    EXPECT_FALSE(FileExists(stage1));
    EXPECT_FALSE(FileExists(stage1.substr(0, stage1.size() - 1) + L"2"))
        << "the staging folder goes after success";
    EXPECT_EQ("new client", ReadFileBytes(machine.InstallDir() + L"\\bin\\client.dll"));
    EXPECT_EQ(L"3", ClientMachine::StatusValue(L"QVC-E2E", L"UpdateStatus"));
}
