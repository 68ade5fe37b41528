#include "common/GpFormat.h"

#include <wchar.h>

// mingw's own printf family follows C99 (%s narrow in a wide format); the system's formats are
// written for the Microsoft runtime, so every format goes through the runtime's own formatter.
extern "C" int __cdecl __ms_vsnwprintf(wchar_t*, size_t, const wchar_t*, va_list);

int GpVFormat(wchar_t* pBuf, size_t cchBuf, const wchar_t* pszFormat, va_list args)
{
    if (pBuf == nullptr || cchBuf == 0)
        return -1;
    if (pszFormat == nullptr)
    {
        pBuf[0] = L'\0';
        return 0;
    }
    // The runtime leaves the buffer unterminated when the text fills it exactly or is cut.
    int n = __ms_vsnwprintf(pBuf, cchBuf - 1, pszFormat, args);
    if (n < 0 || static_cast<size_t>(n) > cchBuf - 1)
    {
        pBuf[cchBuf - 1] = L'\0';
        return -1;
    }
    pBuf[n] = L'\0';
    return n;
}

int GpFormat(wchar_t* pBuf, size_t cchBuf, const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    int n = GpVFormat(pBuf, cchBuf, pszFormat, args);
    va_end(args);
    return n;
}
