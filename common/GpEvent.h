#pragma once
#include <windows.h>

#include "common/GpHandles.h"

// Opens a machine-wide named event ("Global\<name>.Event") that another process has created.
class GpEvent
{
public:
    GpEvent() = default;
    virtual ~GpEvent() = default;
    GpEvent(const GpEvent&) = delete;
    GpEvent& operator=(const GpEvent&) = delete;

    // ERROR_OK opened, 0 a handle is already held, -147 OpenEvent failed.
    int Open(const wchar_t* pszName);
    void Close();

    // The event, null when none is held.
    HANDLE Handle() const { return m_hEvent.Get(); }
    // The Windows error of the last system call, ERROR_BUSY after a refused second open.
    DWORD LastError() const { return m_dwLastError; }

private:
    GpKernelHandle m_hEvent;
    DWORD m_dwLastError = 0;
};
