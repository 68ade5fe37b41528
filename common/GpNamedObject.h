#pragma once
// What the named kernel object wrappers (GpMutex, GpEvent) share.
#include <windows.h>

#include "common/GpHandles.h"
#include "common/VString.h"

namespace GpNamedObject
{
// The machine-wide name "Global\<name><suffix>" (suffix ".Mutex", ".Event").
VString GlobalName(const wchar_t* pszName, const wchar_t* pszSuffix);

// A wrapper holds one handle at a time: when it already holds one, the call is refused with
// ERROR_BUSY (traced as a warning naming pszMember) and answers true.
bool RefuseSecond(const GpKernelHandle& h, DWORD& dwLastError, const wchar_t* pszFn, const wchar_t* pszMember,
                  const wchar_t* pszName);

// Keeps dwErr as the wrapper's and the thread's last error and answers nCode.
int Failed(DWORD dwErr, DWORD& dwLastError, int nCode);
} // namespace GpNamedObject
