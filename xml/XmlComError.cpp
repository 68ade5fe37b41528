#include "XmlComError.h"

#include "common/GpFormat.h"

void XmlRaise(HRESULT hr)
{
    throw CXmlComError(hr);
}

const wchar_t* CXmlComError::Description(wchar_t* pBuf, size_t cchBuf) const
{
    if (pBuf == nullptr || cchBuf == 0)
        return L"";
    wchar_t* pszSys = nullptr;
    DWORD cch = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, static_cast<DWORD>(m_hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                               reinterpret_cast<wchar_t*>(&pszSys), 0, nullptr);
    if (cch != 0 && pszSys != nullptr)
    {
        if (cch > 2 && pszSys[cch - 2] == L'\r' && pszSys[cch - 1] == L'\n')
            pszSys[cch - 2] = L'\0';
        GpFormat(pBuf, cchBuf, L"%s", pszSys);
        LocalFree(pszSys);
        return pBuf;
    }
    // Codes of the interface range without a system text are the dispatch errors of a component.
    DWORD dwCode = static_cast<DWORD>(m_hr);
    if (dwCode >= 0x80040201u && dwCode <= 0x8004FFFFu)
        GpFormat(pBuf, cchBuf, L"IDispatch error #%d", static_cast<int>(dwCode - 0x80040200u));
    else
        GpFormat(pBuf, cchBuf, L"Unknown error 0x%0lX", dwCode);
    return pBuf;
}
