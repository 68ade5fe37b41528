#include "framework/WinAppEx.h"

#include <commctrl.h>

#include "common/GpErrorText.h"
#include "common/GpTrace.h"

namespace
{
CWinAppEx* s_pApp = nullptr;
}

CWinAppEx::CWinAppEx()
{
    s_pApp = this;
    m_hInstance = GetModuleHandleW(nullptr);
}

CWinAppEx::~CWinAppEx()
{
    if (s_pApp == this)
        s_pApp = nullptr;
}

BOOL CWinAppEx::InitInstance()
{
    return TRUE;
}

int CWinAppEx::ExitInstance()
{
    return 0;
}

int CWinAppEx::Run()
{
    InitInstance();
    return ExitInstance();
}

CWinAppEx* CWinAppEx::GetApp()
{
    return s_pApp;
}

BOOL CWinAppEx::RegisterWindowClass(const WNDCLASSW* pWndClass)
{
    WNDCLASSW existing;
    if (GetClassInfoW(pWndClass->hInstance, pWndClass->lpszClassName, &existing))
        return TRUE;
    return ::RegisterClassW(pWndClass) != 0;
}

BOOL CWinAppEx::InitCommonControlsFromSystem(DWORD dwClasses)
{
    static const wchar_t* const FN = L"CWinAppEx::InitCommonControlsFromSystem";
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    if (!m_comctl32)
        m_comctl32.Reset(LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!m_comctl32)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！LoadLibraryEx<comctl32.dll>\u3000｛%s｝", FN, GpErrText(-1));
        return FALSE;
    }
    auto pfnInit = reinterpret_cast<InitFn>(
        reinterpret_cast<void*>(GetProcAddress(m_comctl32.Get(), "InitCommonControlsEx")));
    if (pfnInit == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！GetProcAddress<InitCommonControlsEx>\u3000｛%s｝", FN, GpErrText(-1));
        return FALSE;
    }
    INITCOMMONCONTROLSEX icc = {8, dwClasses};
    return pfnInit(&icc);
}

BOOL FrameworkRestrictDllSearch()
{
    if (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return TRUE;
    GPTRACE(TRACE_ERROR, L"[%s] ！SetDefaultDllDirectories\u3000｛%s｝", L"FrameworkRestrictDllSearch",
            GpErrText(-1));
    return FALSE;
}

const wchar_t* FrameworkCommandLineArgs(const wchar_t* psz)
{
    if (psz == nullptr)
        return L"";
    // Skip the program path, quoted or not, then the blanks before the arguments.
    if (*psz == L'"')
    {
        psz++;
        while (*psz != L'\0' && *psz != L'"')
            psz++;
        if (*psz == L'"')
            psz++;
    }
    else
    {
        while (*psz > L' ')
            psz++;
    }
    while (*psz != L'\0' && *psz <= L' ')
        psz++;
    return psz;
}
