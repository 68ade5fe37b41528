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

    GpKernelHandle m_hEvent;
    DWORD m_dwLastError = 0;
};
