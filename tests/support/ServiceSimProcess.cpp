#include "tests/support/ServiceSimProcess.h"

#include "common/GpHandles.h"

namespace lumotest
{
bool ServiceSimProcess::Start(const std::wstring& extraArgs)
{
    static int s_counter = 0;
    std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++s_counter);
    std::wstring ready = L"QvServiceSimReady_" + tag;
    m_stop = L"QvServiceSimStop_" + tag;
    m_log = m_dir / L"service.log";
    GpKernelHandle readyEvent(CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
    std::wstring cmd = Quote(BinPath(L"QvServiceSim.exe")) + L" /parent=" +
                       std::to_wstring(GetCurrentProcessId()) + L" /seconds=600 /ready=" + ready +
                       L" /stopevent=" + m_stop + L" /quiet /log=" + Quote(m_log) + L" " + extraArgs;
    if (!m_child.Start(cmd))
        return false;
    // A simulator that ends at once (bad arguments) is not waited for.
    HANDLE waits[2] = {readyEvent.Get(), m_child.Handle()};
    return WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
}

void ServiceSimProcess::Stop()
{
    if (m_stop.empty())
        return;
    GpKernelHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, m_stop.c_str()));
    if (stop)
        SetEvent(stop.Get());
    DWORD code;
    if (!m_child.Wait(10000, &code))
        m_child.Terminate();
    m_stop.clear();
}

bool ServiceSimProcess::WaitForLog(const std::string& text, DWORD timeoutMs) const
{
    for (DWORD t = 0; t < timeoutMs; t += 50)
    {
        if (Log().find(text) != std::string::npos)
            return true;
        Sleep(50);
    }
    return false;
}

bool ServiceSimProcess::Received(WORD wCommand) const
{
    return Log().find("cmd=" + std::to_string(wCommand) + " ") != std::string::npos;
}
} // namespace lumotest
