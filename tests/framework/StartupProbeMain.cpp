// A framework program that reports, as its exit code, what its start-up allowed it to load.
#include "framework/WinAppEx.h"

#include <commctrl.h>
#include <wchar.h>

namespace
{
constexpr int PLANTED_DLL_LOADED = 1;        // found beside the program by the plain search
constexpr int PLANTED_DLL_NOT_THERE = 2;     // not even the explicit search finds it: proves nothing
constexpr int COMMON_CONTROLS_FAILED = 4;    // InitCommonControlsFromSystem answered false
constexpr int COMMON_CONTROLS_ELSEWHERE = 8; // comctl32 is not the system folder's

class StartupProbe : public CWinAppEx
{
public:
    BOOL InitInstance() override
    {
        if (GpModule(LoadLibraryW(L"lumo_planted.dll")))
            m_nResult |= PLANTED_DLL_LOADED;
        if (!GpModule(LoadLibraryExW(L"lumo_planted.dll", nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR)))
            m_nResult |= PLANTED_DLL_NOT_THERE;

        if (!InitCommonControlsFromSystem(ICC_WIN95_CLASSES))
            m_nResult |= COMMON_CONTROLS_FAILED;
        wchar_t szSystem[MAX_PATH], szLoaded[MAX_PATH];
        UINT cch = GetSystemDirectoryW(szSystem, MAX_PATH);
        HMODULE hComctl = GetModuleHandleW(L"comctl32.dll");
        if (hComctl == nullptr || GetModuleFileNameW(hComctl, szLoaded, MAX_PATH) == 0 ||
            _wcsnicmp(szLoaded, szSystem, cch) != 0 || szLoaded[cch] != L'\\')
            m_nResult |= COMMON_CONTROLS_ELSEWHERE;
        return FALSE;
    }
    int ExitInstance() override { return m_nResult; }

private:
    int m_nResult = 0;
};

StartupProbe theProbe;
} // namespace
