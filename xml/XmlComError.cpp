#include "xml/XmlComError.h"

#include "common/GpErrorText.h"
#include "common/GpFormat.h"

void XmlRaise(HRESULT hr)
{
    throw CXmlComError(hr);
}

const wchar_t* CXmlComError::Description(wchar_t* pBuf, size_t cchBuf) const
{
    if (pBuf == nullptr || cchBuf == 0)
        return L"";
    if (GpSystemMessage(static_cast<DWORD>(m_hr), pBuf, cchBuf))
        return pBuf;
    // Codes of the interface range without a system text are the dispatch errors of a component.
    DWORD dwCode = static_cast<DWORD>(m_hr);
    if (dwCode >= 0x80040201u && dwCode <= 0x8004FFFFu)
        GpFormat(pBuf, cchBuf, L"IDispatch error #%d", static_cast<int>(dwCode - 0x80040200u));
    else
        GpFormat(pBuf, cchBuf, L"Unknown error 0x%0lX", dwCode);
    return pBuf;
}
