#include "common/GpTraceInternal.h"

// Both blocks live in sections marked shared: every process mapped from this executable file
// sees the same bytes, and no other executable does. They must be initialised (not in .bss).
__attribute__((section(".gp_debu"), shared))
GpTraceSettings g_gpTraceSettings = {50, 100, 10, L".", L"QVS-Debug", ""};

__attribute__((section(".gp_aid_"), shared)) GpTraceClock g_gpTraceClock = {0, -1, 0, 0};
