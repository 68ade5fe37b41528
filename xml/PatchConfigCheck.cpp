#include "xml/PatchConfigCheck.h"

int PatchIniTextUnsafeAt(const wchar_t* pszText)
{
    if (pszText == nullptr)
        return -1;
    for (int i = 0; pszText[i] != L'\0'; i++)
    {
        wchar_t c = pszText[i];
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029 || c == L'[' ||
            c == L']' || c == L'=')
            return i;
    }
    return -1;
}

ULONGLONG PatchConfiguredSize(int nConfigured)
{
    return static_cast<DWORD>(nConfigured);
}
