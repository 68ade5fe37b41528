#include "tests/support/SimDesktop.h"

#include "common/GpHandles.h"
#include "tests/support/TestUtil.h"

namespace lumotest
{
namespace
{
GpDesktop g_simDesktop;
}

void NewSimDesktop()
{
    static int s_count = 0;
    std::wstring name =
        L"LumoSim" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++s_count);
    g_simDesktop.Reset(CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr));
}

HDESK SimDesktop()
{
    if (!g_simDesktop)
        NewSimDesktop();
    return g_simDesktop.Get();
}

std::wstring SimDesktopName()
{
    wchar_t name[256] = L"";
    DWORD cb = 0;
    GetUserObjectInformationW(SimDesktop(), UOI_NAME, name, sizeof(name) - sizeof(wchar_t), &cb);
    return std::wstring(L"WinSta0\\") + name;
}

DWORD RunAgentOnSimDesktop(const std::wstring& args, const std::wstring& currentDir)
{
    ChildProcess agent;
    if (!agent.Start(Quote(BinPath(L"LumoAgent.exe")) + L" " + args, currentDir, SimDesktopName()))
        return 0xFFFFFFFF;
    DWORD code = STILL_ACTIVE;
    if (!agent.Wait(30000, &code))
        agent.Terminate(); // ends it with STILL_ACTIVE
    return code;
}
} // namespace lumotest
