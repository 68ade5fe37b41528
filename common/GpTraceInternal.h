#pragma once
// Internals of the trace log shared by its translation units (not for other callers).
#include <windows.h>

constexpr int GP_TRACE_PATH_CCH = 520;
constexpr int GP_TRACE_TIME_CCH = 32;
constexpr int GP_TRACE_MSG_CCH = 4096;
constexpr int GP_TRACE_NAME_CCH = 32;
constexpr int GP_TRACE_MAX_LINES = 40000;

// Settings shared by every process of the same executable file (section ".gp_debu").
struct GpTraceSettings
{
    USHORT wGenerations; // older files kept beside the current one
    int nPipeLevel;      // records at or below go to the debug pipe
    int nFileLevel;      // records at or below go to the log file
    wchar_t szPipeServer[GP_TRACE_NAME_CCH + 1];
    wchar_t szPipeName[GP_TRACE_NAME_CCH + 1];
    char szLogPath[GP_TRACE_PATH_CCH]; // ANSI; empty until the first line is written
};

// Timestamp generator state shared likewise (section ".gp_aid_").
struct GpTraceClock
{
    DWORD dwMicro;
    int nSameCount;
    LONGLONG llFrequency;
    LONGLONG llLastCounter;
};

extern GpTraceSettings g_gpTraceSettings;
extern GpTraceClock g_gpTraceClock;

struct GpTraceRecord
{
    DWORD dwThreadId;
    DWORD dwLine;
    int nLevel;
    wchar_t szTime[GP_TRACE_TIME_CCH + 1];
    wchar_t szMessage[GP_TRACE_MSG_CCH + 1];
    wchar_t szSource[GP_TRACE_PATH_CCH + 1];
    DWORD dwSequence;
};

// Process trace information, filled by the first call of the process.
struct GpTraceProcess
{
    DWORD dwProcessId; // 0: not yet filled
    wchar_t szProgram[GP_TRACE_PATH_CCH + 1];
    wchar_t szPipePath[128];
};
extern GpTraceProcess g_gpTraceProcess;

bool GpTraceFillProcess();
void GpTraceBuildPipePath();

// "[yyyy/mm/dd hh:mm:ss.uuuuuu]"-style stamp without brackets; returns the sequence number.
DWORD GpTraceTimestamp(wchar_t* pszOut, size_t cchOut);

// Called without the trace lock (it may wait for a busy listener): the path is the caller's copy.
void GpTraceSendPipe(const wchar_t* pszPipePath, const GpTraceRecord& rec);
void GpTraceWriteFile(const GpTraceRecord& rec);

// Log file management for the control calls.
void GpTraceNewLogFromText(const wchar_t* pszPath, bool bKeep);
void GpTraceSetGenerations(int nGenerations);

// Serialises the per-process state (timestamp reading, line count) between threads.
CRITICAL_SECTION& GpTraceLock();
