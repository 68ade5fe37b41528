#pragma once
#include <windows.h>

#include <climits>
#include <string.h>

#include "common/VString.h"

// Growing text that knows its length. A failed growth is traced by VString and loses the text;
// the sink then takes nothing more, and its owner reports bFailed.
struct JsonTextSink
{
    VString buf;
    int nLen = 0;
    bool bFailed = false;

    void Put(const wchar_t* psz) { Put(psz, lstrlenW(psz)); }

    void Put(const wchar_t* psz, int nAdd)
    {
        if (bFailed || nAdd <= 0)
            return;
        if (nAdd > INT_MAX / 4 - nLen)
        {
            bFailed = true;
            return;
        }
        int nNeed = nLen + nAdd;
        if (buf.GetCapacity() < nNeed + 1)
        {
            int nRoom = nNeed < INT_MAX / 8 ? nNeed * 2 + 64 : nNeed;
            if (!buf.Alloc(nRoom, false))
            {
                bFailed = true;
                return;
            }
        }
        wchar_t* p = buf.GetBuffer();
        memcpy(p + nLen, psz, static_cast<size_t>(nAdd) * sizeof(wchar_t));
        nLen = nNeed;
        p[nLen] = L'\0';
    }
};
