#pragma once
#include <windows.h>

#include <cstddef>

// The COM error raised inside the XML document wrapper (the one exception the system lets travel
// between its parts): a failed result code of the document object, or E_POINTER for a missing one.
class CXmlComError
{
public:
    explicit CXmlComError(HRESULT hr) : m_hr(hr) {}
    HRESULT Error() const { return m_hr; }
    // The system's message text for the code, or the fixed texts for codes it does not know.
    const wchar_t* Description(wchar_t* pBuf, size_t cchBuf) const;

private:
    HRESULT m_hr;
};

[[noreturn]] void XmlRaise(HRESULT hr);

// Raises the result of a document call when it failed; success codes (S_FALSE too) pass.
inline void XmlCheck(HRESULT hr)
{
    if (FAILED(hr))
        XmlRaise(hr);
}
