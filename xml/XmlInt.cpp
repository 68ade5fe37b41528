#include "xml/XmlInt.h"

#include <climits>
#include <cwctype>

int XmlToInt(const wchar_t* psz)
{
    if (psz == nullptr)
        return 0;
    while (*psz != L'\0' && iswspace(*psz))
        psz++;
    bool bNegative = false;
    if (*psz == L'+' || *psz == L'-')
        bNegative = (*psz++ == L'-');
    // Accumulate in 64 bits and stop growing once past the range, so no digit count overflows.
    long long llValue = 0;
    for (; *psz >= L'0' && *psz <= L'9'; psz++)
    {
        if (llValue <= static_cast<long long>(INT_MAX) + 1)
            llValue = llValue * 10 + (*psz - L'0');
    }
    if (bNegative)
        llValue = -llValue;
    if (llValue > INT_MAX)
        return INT_MAX;
    if (llValue < INT_MIN)
        return INT_MIN;
    return static_cast<int>(llValue);
}
