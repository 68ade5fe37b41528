#pragma once
#include <windows.h>

#include "common/GpHandles.h"

// The small part of an application framework this program needs: one application object,
// a start-up hook, an exit hook whose value is the process exit code, the command-line text
// without the program path, and window-class registration.
class CWinAppEx
{
public:
    CWinAppEx();
    virtual ~CWinAppEx();
    CWinAppEx(const CWinAppEx&) = delete;
    CWinAppEx& operator=(const CWinAppEx&) = delete;

    // Start-up hook; nonzero would ask for a message loop, which this framework does not run.
    virtual BOOL InitInstance();
    // Exit hook; its value becomes the process exit code.
    virtual int ExitInstance();

    // Runs the two hooks in order and answers the exit code (what the entry point does).
    int Run();

    const wchar_t* m_lpCmdLine = L"";
    HINSTANCE m_hInstance = nullptr;

    static CWinAppEx* GetApp();

protected:
    // Registers a window class for this module; true when registered or already present.
    // (Not named RegisterClass: windows.h turns that name into RegisterClassW.)
    BOOL RegisterWindowClass(const WNDCLASSW* pWndClass);

    // InitCommonControlsEx with a structure of size 8 and these classes, from the system's own
    // comctl32: the program may run from a folder its user owns, so it imports nothing outside the
    // known system DLLs. The library stays loaded while the application object lives (the classes'
    // window procedures are in it).
    BOOL InitCommonControlsFromSystem(DWORD dwClasses);

private:
    GpModule m_comctl32;
};

// Lets the process load DLLs only from the system folder; the entry point does this before
// anything else. False (and traced) when the system refuses.
BOOL FrameworkRestrictDllSearch();

// The command-line text after the program path (quoted or not), as the framework gives it.
const wchar_t* FrameworkCommandLineArgs(const wchar_t* pszFullCommandLine);
