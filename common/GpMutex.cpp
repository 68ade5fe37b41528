#include "common/GpMutex.h"

#include "common/GpErrorText.h"
#include "common/GpNamedObject.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"

int GpMutex::Create(const wchar_t* pszName)
{
    static const wchar_t* const FN = L"GpMutex::Create";
    if (GpNamedObject::RefuseSecond(m_hMutex, m_dwLastError, FN, L"m_hMutex", pszName))
        return 0;

    // A null access list: the system account's agent and a user's process meet on one object.
    SECURITY_DESCRIPTOR sd;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！InitializeSD\u3000｛%s｝", FN, GpErrText(static_cast<int>(dwErr)));
        return GpNamedObject::Failed(dwErr, m_dwLastError, -44);
    }
    if (!SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE))
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！SetSDD\u3000｛%s｝", FN, GpErrText(static_cast<int>(dwErr)));
        return GpNamedObject::Failed(dwErr, m_dwLastError, -53);
    }
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, TRUE};

    VString strName = GpNamedObject::GlobalName(pszName, L".Mutex");

    // A stale ERROR_ALREADY_EXISTS must not pass for an existing mutex.
    SetLastError(0);
    m_hMutex.Reset(CreateMutexW(&sa, FALSE, strName.c_str()));
    m_dwLastError = GetLastError();
    if (!m_hMutex)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CreateMutex(%s)\u3000｛%s｝", FN, pszName,
                GpErrText(static_cast<int>(m_dwLastError)));
        return GpNamedObject::Failed(m_dwLastError, m_dwLastError, -71);
    }
    if (m_dwLastError == ERROR_ALREADY_EXISTS)
    {
        GPTRACE(TRACE_MESSAGE, L"[%s] 既存ハンドルです。 <%s> 0x%p.", FN, strName.c_str(), m_hMutex.Get());
        SetLastError(m_dwLastError);
        return ERROR_NON;
    }
    return ERROR_OK;
}
