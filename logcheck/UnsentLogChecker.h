#pragma once
#include <windows.h>

#include "common/GpHandles.h"
#include "common/TmArray.h"
#include "common/VString.h"

// Worker that waits until the client's pending logs have been sent: it counts the "*.log" files
// of the client's log folders, nudges the log sender, and ends when the count reaches zero or
// stops changing. The outcome is the worker thread's exit code.
class UnsentLogChecker
{
public:
    // Production pacing; tests shorten the pause through GpSleep.
    static constexpr DWORD PASS_PAUSE_MS = 15000;
    static constexpr int PATIENCE = 30;      // unchanged passes tolerated before giving up
    static constexpr int TRIGGER_EVERY = 10; // passes between two nudges while the count stands
    static constexpr DWORD NO_PROGRESS = 159;

    UnsentLogChecker();
    virtual ~UnsentLogChecker();
    UnsentLogChecker(const UnsentLogChecker&) = delete;
    UnsentLogChecker& operator=(const UnsentLogChecker&) = delete;

    BOOL StartCheckThread();
    // Nonzero once the worker has ended; *pdwResult gets its exit code (STILL_ACTIVE while it runs).
    BOOL IsComplete(DWORD* pdwResult);
    // Asks a running worker to stop and waits until it has ended, so that nothing of this object
    // is freed under it. Nothing to do when no worker is held.
    void StopAndWait();

    DWORD CheckLog();
    int GetUnsentLogCount(int nPass);

    // The worker thread, null when none is held.
    HANDLE ThreadHandle() const { return m_hThread.Get(); }

    volatile LONG m_bStop = 0; // set by the main thread, read by the worker
    int m_nLastCount = -1;
    VString m_strLogsDir;
    TmArray<VString> m_folders;

protected:
    GpKernelHandle m_hThread; // the worker; closed only by this checker once it has ended
};

// Thread entry: runs CheckLog of the checker passed as the argument.
unsigned __stdcall CbfnCheck(void* pChecker);

// Number of "*.log" entries in one folder, counting into sub-folders whose names match "*.log".
// How many levels of "*.log" sub-folders are counted below a log folder; deeper ones are left out.
constexpr int QVC_LOG_MAX_DEPTH = 32;

int CountQvcLogFiles(const wchar_t* pszFolder);
