#pragma once
// The agent's side of the result channel, played in process for tests of the tool's road.
#include <windows.h>

#include "app/LumoAgentApp.h"
#include "common/GpSeams.h"

namespace lumotest
{
// An application object in agent mode (from its command line) holding an outcome pair, as an
// agent's exit hook finds it.
class ReportingAgent : public LumoAgentApp
{
public:
    explicit ReportingAgent(int nExitCode = 0, int nExtInfo = 0)
    {
        m_lpCmdLine = L"/Agent";
        SetRunMode();
        SetExit(nExitCode, nExtInfo);
    }
};

// Plays the agent from inside the tool's first wait: reports with the given outcome pair.
inline void AgentReportsOnFirstWait(int nExitCode, int nExtInfo)
{
    GpSeam().WaitForObjectFn = [nExitCode, nExtInfo](HANDLE h, DWORD ms) {
        ReportingAgent(nExitCode, nExtInfo).WriteExitString();
        return WaitForSingleObject(h, ms);
    };
}
} // namespace lumotest
