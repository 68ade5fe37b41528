#include "GpMutex.h"

#include "GpErrorText.h"
#include "GpResult.h"
#include "GpTrace.h"
#include "VString.h"

GpMutex::~GpMutex()
{
    if (m_hMutex != nullptr)
        CloseHandle(m_hMutex);
    m_hMutex = nullptr;
    m_dwLastError = 0;
}

int GpMutex::Create(const wchar_t* pszName)
{
    static const wchar_t* const FN = L"GpMutex::Create";
    if (m_hMutex != nullptr)
    {
        m_dwLastError = ERROR_BUSY;
        GPTRACE(TRACE_WARNING, L"[%s] 既に作成済みです。\u3000m_hMutex=0x%p, lpName=<%s>.", FN, m_hMutex,
                pszName);
        SetLastError(m_dwLastError);
        return 0;
    }

    // A null access list: the system account's agent and a user's process meet on one object.
    SECURITY_DESCRIPTOR sd;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION))
    {
        m_dwLastError = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！InitializeSD\u3000｛%s｝", FN,
                GpErrText(static_cast<int>(m_dwLastError)));
        SetLastError(m_dwLastError);
        return -44;
    }
    if (!SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE))
    {
        m_dwLastError = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！SetSDD\u3000｛%s｝", FN, GpErrText(static_cast<int>(m_dwLastError)));
        SetLastError(m_dwLastError);
        return -53;
    }
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, TRUE};

    VString strName(L"Global\\");
    strName.Cat(pszName);
    strName.Cat(L".Mutex");

    // A stale ERROR_ALREADY_EXISTS must not pass for an existing mutex.
    SetLastError(0);
    m_hMutex = CreateMutexW(&sa, FALSE, strName.c_str());
    m_dwLastError = GetLastError();
    if (m_hMutex == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CreateMutex(%s)\u3000｛%s｝", FN, pszName,
                GpErrText(static_cast<int>(m_dwLastError)));
        SetLastError(m_dwLastError);
        return -71;
    }
    if (m_dwLastError == ERROR_ALREADY_EXISTS)
    {
        GPTRACE(TRACE_MESSAGE, L"[%s] 既存ハンドルです。 <%s> 0x%p.", FN, strName.c_str(), m_hMutex);
        SetLastError(m_dwLastError);
        return ERROR_NON;
    }
    return ERROR_OK;
}
