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

// The shared sections themselves. The trace code works on the active blocks below.
extern GpTraceSettings g_gpTraceSettings;
extern GpTraceClock g_gpTraceClock;

// The blocks this process works with: the shared sections, or in agent mode (a command line
// holding "/Agent") private copies of the initial values, so that no other process can steer
// where a system-rights process traces to.
GpTraceSettings& GpTraceActiveSettings();
GpTraceClock& GpTraceActiveClock();

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
GpTraceProcess& GpTraceProcessInfo();

bool GpTraceFillProcess();
void GpTraceBuildPipePath();

// A listener that stalls or keeps every instance busy is not sent to again for the rest of the
// process, until the pipe path changes (each change starts a new generation).
LONG GpTracePipeGeneration();
bool GpTracePipeGivenUp(LONG nGeneration);
void GpTraceGiveUpPipe(LONG nGeneration);

// "[yyyy/mm/dd hh:mm:ss.uuuuuu]"-style stamp without brackets; returns the sequence number.
DWORD GpTraceTimestamp(wchar_t* pszOut, size_t cchOut);

// Called without the trace lock (it may wait for a busy listener): the path is the caller's copy,
// taken with its generation.
void GpTraceSendPipe(const wchar_t* pszPipePath, LONG nGeneration, const GpTraceRecord& rec);

// How the debug pipe's client end is opened (a test sees the flags through it).
using GpTracePipeOpenFn = HANDLE (*)(const wchar_t* pszPath, DWORD dwAccess, DWORD dwFlags);
void GpTraceSetPipeOpener(GpTracePipeOpenFn pfnOpen); // null: CreateFileW
// How long one transaction may wait for the listener's reply.
constexpr DWORD GP_TRACE_REPLY_WAIT_MS = 1000;

void GpTraceWriteFile(const GpTraceRecord& rec);

// Log file management for the control calls.
void GpTraceNewLogFromText(const wchar_t* pszPath, bool bKeep);
void GpTraceSetGenerations(int nGenerations);

// Serialises the per-process state (timestamp reading, line count) between threads.
CRITICAL_SECTION& GpTraceLock();
