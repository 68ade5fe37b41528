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

HANDLE GpOpenPipeClient(const wchar_t* pszName, DWORD dwAccess, DWORD dwFlags)
{
    const GpSeams& s = GpSeam();
    return s.OpenPipeClientFn ? s.OpenPipeClientFn(pszName, dwAccess, dwFlags)
                              : CreateFileW(pszName, dwAccess, 0, nullptr, OPEN_EXISTING, dwFlags, nullptr);
}

BOOL GpWriteFile(HANDLE hFile, const void* pData, DWORD cb, DWORD* pcbDone)
{
    const GpSeams& s = GpSeam();
    return s.WriteFileFn ? s.WriteFileFn(hFile, pData, cb, pcbDone)
                         : WriteFile(hFile, pData, cb, pcbDone, nullptr);
}

UINT GpMessageTimeout(UINT uTimeoutMs)
{
    const GpSeams& s = GpSeam();
    return s.MessageTimeoutFn ? s.MessageTimeoutFn(uTimeoutMs) : uTimeoutMs;
}
