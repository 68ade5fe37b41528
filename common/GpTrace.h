#pragma once
#include <windows.h>

// Trace levels: a smaller number is more severe.
constexpr int TRACE_FATAL = 11;
constexpr int TRACE_ERROR = 12;
constexpr int TRACE_LOGREC = 13;
constexpr int TRACE_PRBCHECK = 21;
constexpr int TRACE_WARNING = 22;
constexpr int TRACE_PRINT = 31;
constexpr int TRACE_MESSAGE = 32;
constexpr int TRACE_DEBUG = 41;
constexpr int TRACE_TRACE = 42;

// The name a level is printed with (log file, listener); null for a level without one.
inline const wchar_t* GpTraceLevelName(int nLevel)
{
    switch (nLevel)
    {
    case TRACE_FATAL:
        return L"FATAL";
    case TRACE_ERROR:
        return L"ERROR";
    case TRACE_LOGREC:
        return L"LogRec";
    case TRACE_PRBCHECK:
        return L"PrbCheck";
    case TRACE_WARNING:
        return L"WARNING";
    case TRACE_PRINT:
        return L"Print";
    case TRACE_MESSAGE:
        return L"Message";
    case TRACE_DEBUG:
        return L"Debug";
    case TRACE_TRACE:
        return L"Trace";
    default:
        return nullptr;
    }
}

// Record call (pszSource not null) or control call (pszSource null; nLine selects the operation:
// -1 new log file, -2 generations, -3 file threshold, -4 pipe threshold, -7 pipe server,
// -9 pipe name). The format follows the Microsoft printf conventions.
int GpTrace(const wchar_t* pszSource, unsigned int nLine, int nLevel, const wchar_t* pszFormat, ...);

// Control calls, by name.
inline int GpTraceControl(int nOperation, int nNumber, const wchar_t* pszText)
{
    return GpTrace(nullptr, static_cast<unsigned int>(nOperation), nNumber, pszText);
}

#define GP_WIDEN2(x) L##x
#define GP_WIDEN(x) GP_WIDEN2(x)
#define GP_WFILE GP_WIDEN(__FILE__)

// The usual record call: source path and line of the caller.
#define GPTRACE(level, ...) GpTrace(GP_WFILE, __LINE__, (level), __VA_ARGS__)
