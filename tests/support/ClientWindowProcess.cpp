#include "tests/support/ClientWindowProcess.h"

#include <cstdlib>

namespace lumotest
{
bool ClientWindowProcess::Start(const std::wstring& args, const std::wstring& desktop)
{
    m_log = m_dir / L"window.log";
    std::wstring cmd = Quote(BinPath(L"QvClientSim.exe")) + L" /pid=" +
                       std::to_wstring(GetCurrentProcessId()) + L" /log=" + Quote(m_log) + L" " + args;
    if (!m_child.Start(cmd, L"", desktop))
        return false;
    for (int i = 0; i < 300; i++)
    {
        if (ReadFileBytes(m_log).find("ready") != std::string::npos)
            return true;
        if (m_child.Wait(0))
            return false; // no window could be made on this desktop
        Sleep(50);
    }
    return false;
}

std::vector<int> ClientWindowProcess::WParams() const
{
    std::vector<int> out;
    std::string s = ReadFileBytes(m_log);
    for (size_t pos = 0; (pos = s.find("wParam=", pos)) != std::string::npos; pos += 7)
        out.push_back(atoi(s.c_str() + pos + 7));
    return out;
}
} // namespace lumotest
