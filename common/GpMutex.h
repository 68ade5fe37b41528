#pragma once
#include <windows.h>

#include "common/GpHandles.h"

// A machine-wide named mutex ("Global\<name>.Mutex") that every account may open. It is never
// acquired: its existence is the signal, for as long as some wrapper holds a handle to it.
class GpMutex
{
public:
    GpMutex() = default;
    virtual ~GpMutex() = default;
    GpMutex(const GpMutex&) = delete;
    GpMutex& operator=(const GpMutex&) = delete;

    // ERROR_OK created, ERROR_NON opened an existing one, 0 a handle is already held,
    // -44 / -53 security descriptor, -71 CreateMutex failed.
    int Create(const wchar_t* pszName);

    // The mutex, null when none is held.
    HANDLE Handle() const { return m_hMutex.Get(); }
    // The Windows error of the last system call, ERROR_BUSY after a refused second create.
    DWORD LastError() const { return m_dwLastError; }

private:
    GpKernelHandle m_hMutex;
    DWORD m_dwLastError = 0;
};
