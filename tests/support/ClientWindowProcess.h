#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/TestUtil.h"

namespace lumotest
{
// The main client window stand-in (QvClientSim.exe), running until the object goes; it logs
// every logout message it receives.
class ClientWindowProcess
{
public:
    ClientWindowProcess() = default;
    ClientWindowProcess(const ClientWindowProcess&) = delete;
    ClientWindowProcess& operator=(const ClientWindowProcess&) = delete;

    // args: how it answers (/first=N answers the first message, /answer=N the others); desktop:
    // where its window goes (see ChildProcess::Start). True once the window is up.
    bool Start(const std::wstring& args, const std::wstring& desktop = L"");
    // The wParam of every logout message, in order.
    std::vector<int> WParams() const;
    int Messages() const { return static_cast<int>(WParams().size()); }

private:
    TempDir m_dir;
    std::wstring m_log;
    ChildProcess m_child;
};
} // namespace lumotest
