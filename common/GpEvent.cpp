#include "GpEvent.h"

#include "GpErrorText.h"
#include "GpResult.h"
#include "GpTrace.h"
#include "VString.h"

GpEvent::~GpEvent()
{
    Close();
}

void GpEvent::Close()
{
    if (m_hEvent != nullptr)
        CloseHandle(m_hEvent);
    m_hEvent = nullptr;
    m_dwLastError = 0;
}

int GpEvent::Open(const wchar_t* pszName)
{
    static const wchar_t* const FN = L"GpEvent::Open";
    if (m_hEvent != nullptr)
    {
        m_dwLastError = ERROR_BUSY;
        GPTRACE(TRACE_WARNING, L"[%s] 既に作成済みです。\u3000m_hEvent=0x%p, lpName=<%s>.", FN, m_hEvent,
                pszName);
        SetLastError(m_dwLastError);
        return 0;
    }

    VString strName(L"Global\\");
    strName.Cat(pszName);
    strName.Cat(L".Event");

    m_hEvent = OpenEventW(EVENT_ALL_ACCESS, TRUE, strName.c_str());
    m_dwLastError = GetLastError();
    if (m_hEvent == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！OpenEvent(%s)\u3000｛%s｝", FN, pszName,
                GpErrText(static_cast<int>(m_dwLastError)));
        SetLastError(m_dwLastError);
        return -147;
    }
    return ERROR_OK;
}
