#include "common/GpTrace.h"

#include <stdio.h>
#include <string.h>

#include "common/GpFormat.h"
#include "common/GpHandles.h"
#include "common/GpTraceInternal.h"

namespace
{
constexpr size_t WORK_BYTES = 8202;
constexpr size_t MESSAGE_ROOM = 3456; // characters the message may take, terminator included
void CopyCut(wchar_t* pDst, size_t cchDst, const wchar_t* pSrc)
{
    size_t n = (pSrc == nullptr) ? 0 : wcsnlen(pSrc, cchDst - 1);
    if (n > 0)
        memcpy(pDst, pSrc, n * sizeof(wchar_t));
    pDst[n] = L'\0';
}

int Control(int nOperation, int nNumber, const wchar_t* pszText)
{
    GpTraceSettings& s = GpTraceActiveSettings();
    switch (nOperation)
    {
    case -1:
        if (pszText != nullptr)
            GpTraceNewLogFromText(pszText, nNumber != 0);
        break;
    case -2:
        GpTraceSetGenerations(nNumber);
        break;
    case -3:
        s.nFileLevel = nNumber;
        break;
    case -4:
        s.nPipeLevel = nNumber;
        break;
    case -7:
    case -9:
        if (pszText != nullptr && pszText[0] != L'\0' && wcslen(pszText) <= GP_TRACE_NAME_CCH)
        {
            wchar_t* pDst = (nOperation == -7) ? s.szPipeServer : s.szPipeName;
            CopyCut(pDst, GP_TRACE_NAME_CCH + 1, pszText);
            GpTraceBuildPipePath();
        }
        break;
    default:
        break;
    }
    return 0;
}
} // namespace

int GpTrace(const wchar_t* pszSource, unsigned int nLine, int nLevel, const wchar_t* pszFormat, ...)
{
    // A record that is not emitted leaves the caller's last error as it was.
    DWORD dwErrIn = GetLastError();
    bool bEmitted = false;
    CRITICAL_SECTION& lock = GpTraceLock();
    EnterCriticalSection(&lock);

    if (pszSource == nullptr)
    {
        GpTraceFillProcess();
        int n = Control(static_cast<int>(nLine), nLevel, pszFormat);
        LeaveCriticalSection(&lock);
        SetLastError(dwErrIn);
        return n;
    }

    GpHeapBlock work(HeapAlloc(GetProcessHeap(), 0, WORK_BYTES));
    // The record lives on the heap too: it is larger than a worker thread's stack should carry.
    GpHeapBlock record(work ? HeapAlloc(GetProcessHeap(), 0, sizeof(GpTraceRecord)) : nullptr);
    if (!record)
    {
        LeaveCriticalSection(&lock);
        SetLastError(dwErrIn);
        return 0;
    }
    wchar_t* pWork = static_cast<wchar_t*>(work.Get());
    GpTraceRecord* pRec = static_cast<GpTraceRecord*>(record.Get());

    wchar_t szStamp[GP_TRACE_TIME_CCH];
    DWORD dwSequence = GpTraceTimestamp(szStamp, GP_TRACE_TIME_CCH);

    const GpTraceSettings& s = GpTraceActiveSettings();
    if (GpTraceFillProcess() && (nLevel <= s.nPipeLevel || nLevel <= s.nFileLevel))
    {
        va_list args;
        va_start(args, pszFormat);
        int n = GpVFormat(pWork, MESSAGE_ROOM, pszFormat, args);
        va_end(args);

        if (nLevel == TRACE_PRINT && nLevel <= s.nPipeLevel)
        {
            GpHeapBlock ansi(HeapAlloc(GetProcessHeap(), 0, 8194));
            if (ansi)
            {
                char* pAnsi = static_cast<char*>(ansi.Get());
                if (WideCharToMultiByte(CP_ACP, 0, pWork, -1, pAnsi, 8194, nullptr, nullptr) == 0)
                    pAnsi[8193] = '\0';
                printf("%s", pAnsi);
                fflush(stdout);
            }
        }

        // A cut message keeps whatever it ends with; a complete one loses one closing line feed.
        if (n > 0 && pWork[n - 1] == L'\n')
            pWork[n - 1] = L'\0';
        else if (n == 0)
            GpFormat(pWork, MESSAGE_ROOM, L"\u3000");

        pRec->dwThreadId = GetCurrentThreadId();
        pRec->dwLine = nLine;
        pRec->nLevel = nLevel;
        GpFormat(pRec->szTime, GP_TRACE_TIME_CCH + 1, L"[%s]", szStamp);
        CopyCut(pRec->szMessage, GP_TRACE_MSG_CCH + 1, pWork);
        CopyCut(pRec->szSource, GP_TRACE_PATH_CCH + 1, pszSource);
        pRec->dwSequence = dwSequence;

        if (nLevel <= s.nPipeLevel)
        {
            // A busy listener is waited out without the lock: another thread's trace waits
            // for one record at most, never for the retries. The path may change meanwhile.
            wchar_t szPipe[ARRAYSIZE(GpTraceProcess::szPipePath)];
            CopyCut(szPipe, ARRAYSIZE(szPipe), GpTraceProcessInfo().szPipePath);
            LONG nGeneration = GpTracePipeGeneration();
            LeaveCriticalSection(&lock);
            GpTraceSendPipe(szPipe, nGeneration, *pRec);
            EnterCriticalSection(&lock);
        }
        if (nLevel <= s.nFileLevel)
            GpTraceWriteFile(*pRec);
        bEmitted = true;
    }

    record.Reset();
    work.Reset();
    LeaveCriticalSection(&lock);
    SetLastError(bEmitted ? 0 : dwErrIn);
    return 0;
}
