#include "common/GpTraceInternal.h"

#include "common/GpFormat.h"

namespace
{
SYSTEMTIME s_stLast; // this process's last local-time reading

bool SameReading(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDayOfWeek == b.wDayOfWeek && a.wDay == b.wDay &&
           a.wHour == b.wHour && a.wMinute == b.wMinute && a.wSecond == b.wSecond &&
           a.wMilliseconds == b.wMilliseconds;
}
} // namespace

// Local time has millisecond steps (and often coarser); the performance counter fills in the
// microseconds between two equal readings so that records keep their order.
DWORD GpTraceTimestamp(wchar_t* pszOut, size_t cchOut)
{
    GpTraceClock& clk = GpTraceActiveClock();
    if (clk.llFrequency == 0)
    {
        LARGE_INTEGER li;
        QueryPerformanceCounter(&li);
        clk.llLastCounter = li.QuadPart;
        QueryPerformanceFrequency(&li);
        clk.llFrequency = li.QuadPart;
        if (clk.llFrequency != 0)
            clk.nSameCount = 0;
    }

    SYSTEMTIME st;
    GetLocalTime(&st);
    LONGLONG llNow = 0;
    if (clk.llFrequency != 0)
    {
        LARGE_INTEGER li;
        QueryPerformanceCounter(&li);
        llNow = li.QuadPart;
    }

    SYSTEMTIME stOut = st;
    DWORD dwMicro;
    if (SameReading(st, s_stLast) && llNow > clk.llLastCounter)
    {
        clk.nSameCount++;
        double dElapsed = static_cast<double>(llNow - clk.llLastCounter) * 1000000.0 /
                              static_cast<double>(clk.llFrequency) +
                          0.5999;
        dwMicro = clk.dwMicro + static_cast<DWORD>(dElapsed);
        if (dwMicro > 999999)
        {
            DWORD dwCarries = (dwMicro - 1000000) / 1000000 + 1;
            for (DWORD i = 0; i < dwCarries; i++)
            {
                stOut.wSecond++;
                dwMicro -= 1000000;
                if (stOut.wSecond >= 60)
                {
                    stOut.wSecond -= 60;
                    stOut.wMinute++;
                }
                if (stOut.wMinute >= 60)
                {
                    stOut.wMinute -= 60;
                    stOut.wHour++;
                }
            }
        }
    }
    else
    {
        clk.nSameCount = 0;
        s_stLast = st;
        dwMicro = static_cast<DWORD>(st.wMilliseconds) * 1000;
    }
    clk.dwMicro = dwMicro;
    clk.llLastCounter = llNow;

    GpFormat(pszOut, cchOut, L"%04u/%02u/%02u %02u:%02u:%02u.%06u", stOut.wYear, stOut.wMonth, stOut.wDay,
             stOut.wHour, stOut.wMinute, stOut.wSecond, dwMicro);
    return static_cast<DWORD>(clk.nSameCount);
}
