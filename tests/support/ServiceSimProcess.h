#pragma once
#include <windows.h>

#include <string>

#include "tests/support/TestUtil.h"

namespace lumotest
{
// QvServiceSim.exe for one test: serves the service pipe until the object goes (or the test
// program ends), and writes one line per request to its log.
class ServiceSimProcess
{
public:
    ServiceSimProcess() = default;
    ~ServiceSimProcess() { Stop(); }
    ServiceSimProcess(const ServiceSimProcess&) = delete;
    ServiceSimProcess& operator=(const ServiceSimProcess&) = delete;

    // extraArgs: the situation to play, e.g. L"/exec=off /version=6.59.0.0". False when it did
    // not come up (ended or never said it was ready).
    bool Start(const std::wstring& extraArgs = L"");
    void Stop();
    // The request lines logged so far.
    std::string Log() const { return ReadFileBytes(m_log); }
    // Waits until the log holds text.
    bool WaitForLog(const std::string& text, DWORD timeoutMs = 10000) const;
    // Whether a request with this command came in.
    bool Received(WORD wCommand) const;

private:
    TempDir m_dir;
    std::wstring m_stop;
    std::wstring m_log;
    ChildProcess m_child;
};
} // namespace lumotest
