#pragma once
// Application objects for in-process tests, set up the way a real process is: from a command line.
#include <windows.h>

#include <string>
#include <utility>

#include "app/LumoAgentApp.h"
#include "common/GpSeams.h"

namespace lumotest
{
// An application object whose fields come from args, the command-line text as the framework
// gives it: the run mode from SetRunMode, the patch from GetPatchPath when /p= is on it.
class CommandLineApp : public LumoAgentApp
{
public:
    explicit CommandLineApp(std::wstring args) : m_args(std::move(args))
    {
        m_lpCmdLine = m_args.c_str();
        SetRunMode();
        if (m_bPatchPath)
            GetPatchPath();
    }

private:
    std::wstring m_args; // m_lpCmdLine points into it
};

// A run whose road has ended with an outcome pair, as the exit hook finds it.
class FinishedRun : public CommandLineApp
{
public:
    FinishedRun(std::wstring args, int nExitCode, int nExtInfo) : CommandLineApp(std::move(args))
    {
        SetExit(nExitCode, nExtInfo);
    }
};

// An agent holding an outcome pair, about to report it.
class ReportingAgent : public FinishedRun
{
public:
    explicit ReportingAgent(int nExitCode = 0, int nExtInfo = 0) : FinishedRun(L"/Agent", nExitCode, nExtInfo)
    {
    }
};

// Arguments for the service stand-in: it starts nothing and names this process as the agent it
// started, so that an agent played in process passes the tool's check of who reports.
inline std::wstring ExecAsThisProcess()
{
    return L"/exec=pid:" + std::to_wstring(GetCurrentProcessId());
}

// Plays the agent from inside the tool's first wait: reports with the given outcome pair.
inline void AgentReportsOnFirstWait(int nExitCode, int nExtInfo)
{
    GpSeam().WaitForObjectFn = [nExitCode, nExtInfo](HANDLE h, DWORD ms) {
        ReportingAgent(nExitCode, nExtInfo).WriteExitString();
        return WaitForSingleObject(h, ms);
    };
}
} // namespace lumotest
