// Entry point of a framework application: the one application object was constructed
// statically before this runs.
#include "framework/WinAppEx.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    // First of all: nothing may come from the program's folder, which its user may own.
    FrameworkRestrictDllSearch();
    CWinAppEx* pApp = CWinAppEx::GetApp();
    if (pApp == nullptr)
        return -1;
    pApp->m_hInstance = hInstance;
    pApp->m_lpCmdLine = FrameworkCommandLineArgs(GetCommandLineW());
    return pApp->Run();
}
