#pragma once
#include <windows.h>

#include <functional>

// What a test must not really do or wait for: dialogs, the restart, pauses and timed waits, and an
// exhausted heap.
// Production leaves every member empty and the real Win32 call is made. A test sets the members
// it needs and resets them with GpSeamsReset().
struct GpSeams
{
    std::function<int(HWND hWnd, const wchar_t* pszText, const wchar_t* pszCaption, UINT uType)> MessageBoxFn;
    std::function<BOOL(UINT uFlags, DWORD dwReason)> ExitWindowsFn;
    std::function<void(DWORD dwMilliseconds)> SleepFn;
    std::function<DWORD(HANDLE hObject, DWORD dwMilliseconds)> WaitForObjectFn;
    // Answers true to make an array growth fail as on an exhausted heap (TmArray then throws).
    std::function<bool()> ArrayGrowthFailsFn;
    // Opens the client end of a named pipe (CreateFileW, OPEN_EXISTING, no sharing): a test sees
    // the flags a client asks for, which Wine does not enforce.
    std::function<HANDLE(const wchar_t* pszName, DWORD dwAccess, DWORD dwFlags)> OpenPipeClientFn;
    // Stands in for WriteFile in the writers of files that replace others, to play a full disk
    // where a test cannot have a small volume.
    std::function<BOOL(HANDLE hFile, const void* pData, DWORD cb, DWORD* pcbDone)> WriteFileFn;
    // Answers the bound given to a message sent to another program's window (the production bound
    // is passed in); tests shorten it.
    std::function<UINT(UINT uTimeoutMs)> MessageTimeoutFn;
};

GpSeams& GpSeam();
void GpSeamsReset();

int GpMessageBox(HWND hWnd, const wchar_t* pszText, const wchar_t* pszCaption, UINT uType);
BOOL GpExitWindows(UINT uFlags, DWORD dwReason);
void GpSleep(DWORD dwMilliseconds);
DWORD GpWaitForObject(HANDLE hObject, DWORD dwMilliseconds);
bool GpArrayGrowthFails();
HANDLE GpOpenPipeClient(const wchar_t* pszName, DWORD dwAccess, DWORD dwFlags);
BOOL GpWriteFile(HANDLE hFile, const void* pData, DWORD cb, DWORD* pcbDone);
UINT GpMessageTimeout(UINT uTimeoutMs);
