#include "common/GpTraceInternal.h"

#include <string.h>
#include <wchar.h>

#include "common/GpFormat.h"

namespace
{
constexpr GpTraceSettings INITIAL_SETTINGS = {50, 100, 10, L".", L"QVS-Debug", ""};
constexpr GpTraceClock INITIAL_CLOCK = {0, -1, 0, 0};
} // namespace

// Both blocks live in sections marked shared: every process mapped from this executable file
// sees the same bytes, and no other executable does. They must be initialised (not in .bss).
__attribute__((section(".gp_debu"), shared)) GpTraceSettings g_gpTraceSettings = INITIAL_SETTINGS;

__attribute__((section(".gp_aid_"), shared)) GpTraceClock g_gpTraceClock = INITIAL_CLOCK;

namespace
{
// Everything the trace log keeps per process, in one place.
struct TraceState
{
    INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    CRITICAL_SECTION lock;
    GpTraceSettings* pSettings = nullptr;
    GpTraceClock* pClock = nullptr;
    // Agent mode works on these: whoever else maps the executable can write the shared sections.
    GpTraceSettings privateSettings = INITIAL_SETTINGS;
    GpTraceClock privateClock = INITIAL_CLOCK;
    GpTraceProcess process = {};
    volatile LONG nPipeGeneration = 0; // counts debug pipe path changes
    volatile LONG nPipeGivenUp = -1;   // generation of the path the process stopped sending to
};
TraceState s_state;

BOOL CALLBACK InitState(PINIT_ONCE, PVOID, PVOID*)
{
    InitializeCriticalSection(&s_state.lock);
    // The same test as the command-line parsing of the application, on the whole line: a path
    // holding the text errs towards the private settings.
    const wchar_t* pszCmd = GetCommandLineW();
    bool bAgent = pszCmd != nullptr && wcsstr(pszCmd, L"/Agent") != nullptr;
    s_state.pSettings = bAgent ? &s_state.privateSettings : &g_gpTraceSettings;
    s_state.pClock = bAgent ? &s_state.privateClock : &g_gpTraceClock;
    return TRUE;
}

TraceState& State()
{
    InitOnceExecuteOnce(&s_state.once, InitState, nullptr, nullptr);
    return s_state;
}

void CopyCut(wchar_t* pDst, size_t cchDst, const wchar_t* pSrc)
{
    size_t n = (pSrc == nullptr) ? 0 : wcsnlen(pSrc, cchDst - 1);
    if (n > 0)
        memcpy(pDst, pSrc, n * sizeof(wchar_t));
    pDst[n] = L'\0';
}
} // namespace

CRITICAL_SECTION& GpTraceLock()
{
    return State().lock;
}

GpTraceSettings& GpTraceActiveSettings()
{
    return *State().pSettings;
}

GpTraceClock& GpTraceActiveClock()
{
    return *State().pClock;
}

GpTraceProcess& GpTraceProcessInfo()
{
    return State().process;
}

bool GpTraceFillProcess()
{
    GpTraceProcess& proc = GpTraceProcessInfo();
    if (proc.dwProcessId != 0)
        return true;
    wchar_t szExe[GP_TRACE_PATH_CCH + 1];
    DWORD cch = GetModuleFileNameW(nullptr, szExe, GP_TRACE_PATH_CCH);
    if (cch == 0)
        return false;
    szExe[cch < GP_TRACE_PATH_CCH ? cch : GP_TRACE_PATH_CCH] = L'\0';
    const wchar_t* pszName = wcsrchr(szExe, L'\\');
    CopyCut(proc.szProgram, GP_TRACE_PATH_CCH + 1, pszName ? pszName + 1 : szExe);
    GpTraceBuildPipePath();
    proc.dwProcessId = GetCurrentProcessId();
    return true;
}

void GpTraceBuildPipePath()
{
    const GpTraceSettings& s = GpTraceActiveSettings();
    GpFormat(GpTraceProcessInfo().szPipePath, ARRAYSIZE(GpTraceProcessInfo().szPipePath), L"\\\\%s\\pipe\\%s",
             s.szPipeServer, s.szPipeName);
    // A new path may have a listener that answers: give it its chance.
    InterlockedIncrement(&s_state.nPipeGeneration);
}

LONG GpTracePipeGeneration()
{
    return State().nPipeGeneration;
}

bool GpTracePipeGivenUp(LONG nGeneration)
{
    return State().nPipeGivenUp == nGeneration;
}

void GpTraceGiveUpPipe(LONG nGeneration)
{
    InterlockedExchange(&State().nPipeGivenUp, nGeneration);
}
