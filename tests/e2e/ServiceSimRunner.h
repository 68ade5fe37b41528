#pragma once
#include <windows.h>

#include <string>

#include "tests/support/TestUtil.h"

namespace lumotest
{
// QvServiceSim.exe for one test: serves the service pipe until the object goes (or the test
// program ends), and writes one line per request to its log.
class ServiceSimRunner
{
public:
    ServiceSimRunner() = default;
    ~ServiceSimRunner() { Stop(); }

    // extraArgs: the situation to play, e.g. L"/exec=off /version=6.59.0.0".
    bool Start(const std::wstring& extraArgs = L"")
    {
        static int s_counter = 0;
        std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++s_counter);
        std::wstring ready = L"QvServiceSimReady_" + tag;
        m_stop = L"QvServiceSimStop_" + tag;
        m_log = m_dir / L"service.log";
        HANDLE hReady = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
        std::wstring cmd = Quote(BinPath(L"QvServiceSim.exe")) + L" /parent=" +
                           std::to_wstring(GetCurrentProcessId()) + L" /seconds=600 /ready=" + ready +
                           L" /stopevent=" + m_stop + L" /quiet /log=" + Quote(m_log) + L" " + extraArgs;
        bool ok = m_child.Start(cmd) && WaitForSingleObject(hReady, 20000) == WAIT_OBJECT_0;
        CloseHandle(hReady);
        return ok;
    }
    void Stop()
    {
        if (m_stop.empty())
            return;
        HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, m_stop.c_str());
        if (h != nullptr)
        {
            SetEvent(h);
            CloseHandle(h);
        }
        DWORD code;
        if (!m_child.Wait(10000, &code))
            m_child.Terminate();
        m_stop.clear();
    }
    // The request lines logged so far.
    std::string Log() const { return ReadFileBytes(m_log); }
    // Waits until the log holds text.
    bool WaitForLog(const std::string& text, DWORD timeoutMs = 10000) const
    {
        for (DWORD t = 0; t < timeoutMs; t += 50)
        {
            if (Log().find(text) != std::string::npos)
                return true;
            Sleep(50);
        }
        return false;
    }

private:
    TempDir m_dir;
    std::wstring m_stop;
    std::wstring m_log;
    ChildProcess m_child;
};
} // namespace lumotest
