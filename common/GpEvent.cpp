#include "common/GpEvent.h"

#include "common/GpErrorText.h"
#include "common/GpNamedObject.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"

void GpEvent::Close()
{
    m_hEvent.Reset();
    m_dwLastError = 0;
}

int GpEvent::Open(const wchar_t* pszName)
{
    static const wchar_t* const FN = L"GpEvent::Open";
    if (GpNamedObject::RefuseSecond(m_hEvent, m_dwLastError, FN, L"m_hEvent", pszName))
        return 0;

    VString strName = GpNamedObject::GlobalName(pszName, L".Event");
    m_hEvent.Reset(OpenEventW(EVENT_ALL_ACCESS, TRUE, strName.c_str()));
    m_dwLastError = GetLastError();
    if (!m_hEvent)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！OpenEvent(%s)\u3000｛%s｝", FN, pszName,
                GpErrText(static_cast<int>(m_dwLastError)));
        return GpNamedObject::Failed(m_dwLastError, m_dwLastError, -147);
    }
    return ERROR_OK;
}
