#pragma once
#include <windows.h>

// Seconds on the performance counter, for the benchmarks' timings.
inline double BenchNow()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}
