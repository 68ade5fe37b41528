#include "framework/WinAppEx.h"

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
