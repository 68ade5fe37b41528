#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace enctest
{
// "0011AA..." (blanks allowed) to bytes.
inline std::vector<BYTE> Hex(const char* psz)
{
    std::vector<BYTE> out;
    int nHigh = -1;
    for (const char* p = psz; *p != '\0'; p++)
    {
        int v;
        if (*p >= '0' && *p <= '9')
            v = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            v = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            v = *p - 'A' + 10;
        else
            continue;
        if (nHigh < 0)
            nHigh = v;
        else
        {
            out.push_back(static_cast<BYTE>(nHigh * 16 + v));
            nHigh = -1;
        }
    }
    return out;
}

inline std::vector<BYTE> Bytes(const std::string& s)
{
    return std::vector<BYTE>(s.begin(), s.end());
}
} // namespace enctest
