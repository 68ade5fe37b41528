#include "common/GpSeams.h"

GpSeams& GpSeam()
{
    static GpSeams s_seams;
    return s_seams;
}

void GpSeamsReset()
{
    GpSeam() = GpSeams();
}

int GpMessageBox(HWND hWnd, const wchar_t* pszText, const wchar_t* pszCaption, UINT uType)
{
    const GpSeams& s = GpSeam();
    return s.MessageBoxFn ? s.MessageBoxFn(hWnd, pszText, pszCaption, uType)
                          : MessageBoxW(hWnd, pszText, pszCaption, uType);
}

BOOL GpExitWindows(UINT uFlags, DWORD dwReason)
{
    const GpSeams& s = GpSeam();
    return s.ExitWindowsFn ? s.ExitWindowsFn(uFlags, dwReason) : ExitWindowsEx(uFlags, dwReason);
}

void GpSleep(DWORD dwMilliseconds)
{
    const GpSeams& s = GpSeam();
    if (s.SleepFn)
        s.SleepFn(dwMilliseconds);
    else
        ::Sleep(dwMilliseconds);
}

DWORD GpWaitForObject(HANDLE hObject, DWORD dwMilliseconds)
{
    const GpSeams& s = GpSeam();
    return s.WaitForObjectFn ? s.WaitForObjectFn(hObject, dwMilliseconds)
                             : WaitForSingleObject(hObject, dwMilliseconds);
}

bool GpArrayGrowthFails()
{
    const GpSeams& s = GpSeam();
    return s.ArrayGrowthFailsFn && s.ArrayGrowthFailsFn();
}

UINT GpMessageTimeout(UINT uTimeoutMs)
{
    const GpSeams& s = GpSeam();
    return s.MessageTimeoutFn ? s.MessageTimeoutFn(uTimeoutMs) : uTimeoutMs;
}
