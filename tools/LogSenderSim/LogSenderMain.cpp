// QvLogSenderSim: plays the client's log sender for the updater's unsent-log check.
//   QvLogSenderSim.exe [/perTrigger=N | /dead] [/seconds=N] [/pid=N] [/ready=EVENT]
// Watches the first log folder; each creation of "Wake.up" there sends (removes) the pending
// "*.log" files of the nine log folders: all of them, at most N with /perTrigger, none with /dead.
// Ends after /seconds (default 600) or when process /pid ends. /ready names an event that is
// set once the watch is in place. Exit code 0, 1 when the folder cannot be watched, 2 on bad use.
#include <windows.h>

#include <shlobj.h>
#include <stdio.h>
#include <wchar.h>

#include "tools/LogSenderSim/LogSender.h"
#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpTrace.h"
#include "common/VString.h"
#include "logcheck/QvcLogFolders.h"
#include "tools/common/ToolArgs.h"

namespace
{
const wchar_t* const FN = L"QvLogSenderSim";

bool IsTrigger(const BYTE* pBuf, DWORD cb)
{
    size_t nName = wcslen(QVC_LOG_TRIGGER_NAME);
    DWORD off = 0;
    while (off + sizeof(FILE_NOTIFY_INFORMATION) <= cb)
    {
        auto* p = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(pBuf + off);
        size_t nLen = p->FileNameLength / sizeof(wchar_t);
        if ((p->Action == FILE_ACTION_ADDED || p->Action == FILE_ACTION_RENAMED_NEW_NAME) && nLen == nName &&
            off + offsetof(FILE_NOTIFY_INFORMATION, FileName) + p->FileNameLength <= cb &&
            _wcsnicmp(p->FileName, QVC_LOG_TRIGGER_NAME, nName) == 0)
            return true;
        if (p->NextEntryOffset == 0)
            break;
        off += p->NextEntryOffset;
    }
    return false;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    int nLimit = -1;
    if (const wchar_t* v = ArgValue(argc, argv, L"/perTrigger="))
    {
        nLimit = _wtoi(v);
        if (nLimit < 1)
        {
            fwprintf(stderr, L"/perTrigger= needs a number of 1 or more\n");
            return 2;
        }
    }
    if (ArgValue(argc, argv, L"/dead") != nullptr)
        nLimit = 0;
    const wchar_t* pszSeconds = ArgValue(argc, argv, L"/seconds=");
    DWORD dwSeconds = pszSeconds ? static_cast<DWORD>(_wtoi(pszSeconds)) : 600;
    GpKernelHandle watched;
    if (const wchar_t* v = ArgValue(argc, argv, L"/pid="))
    {
        watched.Reset(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(_wtoi(v))));
        if (!watched)
        {
            fwprintf(stderr, L"process %ls not found\n", v);
            return 2;
        }
    }

    VString strLogsDir;
    HRESULT hr = GetQvcLogsDir(strLogsDir);
    if (FAILED(hr))
    {
        fwprintf(stderr, L"no common application-data folder (0x%08lx)\n", static_cast<unsigned long>(hr));
        return 1;
    }
    // The client makes its log folders; the first one must exist to be watched.
    VString strFirst = strLogsDir + QvcLogFolderName(0);
    SHCreateDirectoryExW(nullptr, strFirst.c_str(), nullptr);
    GpFile dir(CreateFileW(strFirst.c_str(), FILE_LIST_DIRECTORY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!dir)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CreateFile\u3000｛%s｝\u3000<%s>", FN, GpErrText(-1), strFirst.c_str());
        return 1;
    }
    GpKernelHandle changed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = changed.Get();
    alignas(DWORD) BYTE buf[4096];
    auto watch = [&]() {
        ResetEvent(changed.Get());
        return ReadDirectoryChangesW(dir.Get(), buf, sizeof(buf), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME,
                                     nullptr, &ov, nullptr) != FALSE;
    };
    if (!watch())
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！ReadDirectoryChangesW\u3000｛%s｝", FN, GpErrText(-1));
        return 1;
    }
    GPTRACE(TRACE_MESSAGE, L"[%s] watching <%s> perTrigger=%d", FN, strFirst.c_str(), nLimit);
    if (const wchar_t* v = ArgValue(argc, argv, L"/ready="))
    {
        GpKernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, v));
        if (ready)
            SetEvent(ready.Get());
    }

    int nTriggers = 0;
    int nSentTotal = 0;
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(dwSeconds) * 1000;
    for (;;)
    {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        HANDLE waits[2] = {changed.Get(), watched.Get()};
        DWORD dwWait =
            WaitForMultipleObjects(watched ? 2 : 1, waits, FALSE, static_cast<DWORD>(deadline - now));
        if (dwWait != WAIT_OBJECT_0)
            break; // time is up, the watched process ended, or the wait failed
        DWORD cb = 0;
        bool bGot = GetOverlappedResult(dir.Get(), &ov, &cb, FALSE) != FALSE;
        bool bTrigger = bGot && IsTrigger(buf, cb);
        // Watch again before sending, so that no later trigger is missed.
        if (!watch())
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！ReadDirectoryChangesW\u3000｛%s｝", FN, GpErrText(-1));
            return 1;
        }
        if (!bTrigger)
            continue;
        nTriggers++;
        int nSent = nLimit == 0 ? 0 : SendPendingLogs(strLogsDir.c_str(), nLimit);
        nSentTotal += nSent;
        GPTRACE(TRACE_MESSAGE, L"[%s] Wake.up #%d: sent=%d", FN, nTriggers, nSent);
    }
    CancelIo(dir.Get());
    GPTRACE(TRACE_MESSAGE, L"[%s] end: triggers=%d sent=%d", FN, nTriggers, nSentTotal);
    wprintf(L"triggers=%d sent=%d\n", nTriggers, nSentTotal);
    return 0;
}
