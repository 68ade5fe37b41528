#include "tests/support/ClientWindowProcess.h"

#include <cstdio>
#include <cstdlib>

namespace lumotest
{
bool ClientWindowProcess::Start(const std::wstring& args, const std::wstring& desktop)
{
    m_log = m_dir / L"window.log";
    std::wstring cmd = Quote(BinPath(L"QvClientSim.exe")) + L" /pid=" +
                       std::to_wstring(GetCurrentProcessId()) + L" /log=" + Quote(m_log) + L" " + args;
    // Under load Wine now and then fails to bring up a window on a new desktop and the stand-in
    // ends at once; that is the test machine, not the updater, so it gets two more tries.
    for (int attempt = 1; attempt <= 3; attempt++)
    {
        DeleteFileW(m_log.c_str());
        if (!m_child.Start(cmd, L"", desktop))
        {
            fprintf(stderr, "QvClientSim: CreateProcess failed (%lu), try %d\n", GetLastError(), attempt);
            continue;
        }
        for (int i = 0; i < 300; i++)
        {
            if (ReadFileBytes(m_log).find("ready") != std::string::npos)
                return true;
            DWORD code = 0;
            if (m_child.Wait(0, &code))
            {
                fprintf(stderr, "QvClientSim: ended with %lu before its window was up, try %d\n", code,
                        attempt);
                break;
            }
            Sleep(50);
        }
        m_child.Terminate();
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
