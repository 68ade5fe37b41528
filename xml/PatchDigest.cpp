#include "xml/PatchDigest.h"

#include <string.h>
#include <wctype.h>

namespace
{
int HexValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}
} // namespace

int PatchDigestBytes(const wchar_t* pszText, BYTE (&out)[PATCH_DIGEST_BUFFER_BYTES])
{
    memset(out, 0, sizeof(out));
    int nLen = pszText ? static_cast<int>(wcslen(pszText)) : 0;
    if (nLen > PATCH_DIGEST_BUFFER_BYTES * 2)
        return PATCH_DIGEST_TOO_LONG;
    if (nLen == 0)
        return 0;
    for (int k = 0; 2 * k < nLen; k++)
    {
        // As a "%02hhx" scan reads it: white space skipped, then one or two digits.
        const wchar_t* p = pszText + 2 * k;
        while (iswspace(*p))
            p++;
        int nHigh = HexValue(p[0]);
        if (nHigh < 0)
            return 2 * k;
        int nLow = HexValue(p[1]);
        out[k] = static_cast<BYTE>(nLow < 0 ? nHigh : nHigh * 16 + nLow);
    }
    return PATCH_DIGEST_OK;
}

bool PatchDigestMatches(const BYTE* pActual, const BYTE (&expected)[PATCH_DIGEST_BUFFER_BYTES])
{
    return memcmp(pActual, expected, PATCH_DIGEST_COMPARED_BYTES) == 0;
}
