#include "common/GpNamedObject.h"

#include "common/GpTrace.h"

namespace GpNamedObject
{
VString GlobalName(const wchar_t* pszName, const wchar_t* pszSuffix)
{
    VString strName(L"Global\\");
    strName.Cat(pszName);
    strName.Cat(pszSuffix);
    return strName;
}

bool RefuseSecond(const GpKernelHandle& h, DWORD& dwLastError, const wchar_t* pszFn, const wchar_t* pszMember,
                  const wchar_t* pszName)
{
    if (!h)
        return false;
    dwLastError = ERROR_BUSY;
    GPTRACE(TRACE_WARNING, L"[%s] 既に作成済みです。\u3000%s=0x%p, lpName=<%s>.", pszFn, pszMember, h.Get(),
            pszName);
    SetLastError(dwLastError);
    return true;
}

int Failed(DWORD dwErr, DWORD& dwLastError, int nCode)
{
    dwLastError = dwErr;
    SetLastError(dwErr);
    return nCode;
}
} // namespace GpNamedObject
