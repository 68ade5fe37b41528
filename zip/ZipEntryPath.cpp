#include "zip/ZipEntryPath.h"

#include <wchar.h>

namespace
{
bool IsSep(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// A component that names a legacy device: Win32 opens the device in any folder instead of a
// file in the destination.
bool IsDeviceName(const wchar_t* pStart, const wchar_t* pEnd)
{
    static const wchar_t* const s_names[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    const wchar_t* pBase = pStart;
    while (pBase < pEnd && *pBase != L'.')
        pBase++;
    while (pBase > pStart && pBase[-1] == L' ')
        pBase--;
    size_t n = static_cast<size_t>(pBase - pStart);
    for (const wchar_t* pszName : s_names)
    {
        if (n == wcslen(pszName) && _wcsnicmp(pStart, pszName, n) == 0)
            return true;
    }
    return n == 4 && (_wcsnicmp(pStart, L"COM", 3) == 0 || _wcsnicmp(pStart, L"LPT", 3) == 0) &&
           pStart[3] >= L'1' && pStart[3] <= L'9';
}
} // namespace

// Win32 drops trailing dots and blanks, so "... " climbs as well as "..".
bool IsSafeEntryRelPath(const wchar_t* pszRel)
{
    if (pszRel == nullptr || pszRel[0] == L'\0' || IsSep(pszRel[0]) || wcschr(pszRel, L':') != nullptr)
        return false;
    const wchar_t* pStart = pszRel;
    for (const wchar_t* p = pszRel;; p++)
    {
        if (*p == L'\0' || IsSep(*p))
        {
            int nDots = 0;
            bool bOnlyDots = p > pStart;
            for (const wchar_t* q = pStart; q < p; q++)
            {
                if (*q == L'.')
                    nDots++;
                else if (*q != L' ')
                    bOnlyDots = false;
            }
            if ((bOnlyDots && nDots >= 2) || IsDeviceName(pStart, p))
                return false;
            if (*p == L'\0')
                return true;
            pStart = p + 1;
        }
    }
}

VString ZipEntryOutputPath(const wchar_t* pszDest, const wchar_t* pszRel)
{
    VString strPath(pszDest);
    strPath.AppendUnlessPresent(L"\\");
    strPath.Cat(pszRel);
    return strPath;
}
