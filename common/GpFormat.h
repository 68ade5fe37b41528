#pragma once
#include <cstdarg>
#include <cstddef>

// Formatting with the Microsoft printf conventions used by every format of the system:
// in a wide format %s is a wide string, %S a narrow one, %I64d a 64-bit integer.
// The result is always terminated; what does not fit is cut. Returns the number of characters
// written, or -1 when the text was cut.
int GpVFormat(wchar_t* pBuf, size_t cchBuf, const wchar_t* pszFormat, va_list args);
int GpFormat(wchar_t* pBuf, size_t cchBuf, const wchar_t* pszFormat, ...);

template <size_t N> int GpFormatN(wchar_t (&buf)[N], const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    int n = GpVFormat(buf, N, pszFormat, args);
    va_end(args);
    return n;
}
