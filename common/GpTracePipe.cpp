#include "common/GpTraceInternal.h"

#include "common/GpFormat.h"
#include "common/GpHandles.h"

namespace
{
constexpr int BUSY_ATTEMPTS = 100;
constexpr DWORD BUSY_PAUSE_MS = 50;
constexpr DWORD FREE_INSTANCE_WAIT_MS = 1;
constexpr DWORD CANCEL_WAIT_MS = 1000;
// The listener is anyone's: it must not act with our token, nor hold us.
constexpr DWORD OPEN_FLAGS = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS;

HANDLE OpenWithCreateFile(const wchar_t* pszPath, DWORD dwAccess, DWORD dwFlags)
{
    return CreateFileW(pszPath, dwAccess, 0, nullptr, OPEN_EXISTING, dwFlags, nullptr);
}

GpTracePipeOpenFn s_pfnOpen = OpenWithCreateFile;

// Everything the system may still write to while a transaction is in flight.
struct Transaction
{
    OVERLAPPED ov;
    BYTE reply[8];
    wchar_t szText[GP_TRACE_MSG_CCH + 1];
};

enum class Outcome
{
    Done,    // sent (the reply, if any, is ignored)
    Busy,    // every instance taken: worth another try
    Gone,    // no listener or any other failure: the record is dropped
    Stalled, // the listener took the record and did not answer in time
    Stuck,   // as Stalled, and the cancelled transaction has not completed: its memory must stay
};

bool IsBusy(DWORD dwErr)
{
    return dwErr == ERROR_PIPE_BUSY || dwErr == ERROR_SEM_TIMEOUT;
}

GpFile OpenPipe(const wchar_t* pszPath, Outcome& failure)
{
    GpFile pipe(s_pfnOpen(pszPath, GENERIC_READ | GENERIC_WRITE, OPEN_FLAGS));
    if (!pipe && GetLastError() == ERROR_PIPE_BUSY && WaitNamedPipeW(pszPath, FREE_INSTANCE_WAIT_MS))
        pipe.Reset(s_pfnOpen(pszPath, GENERIC_READ | GENERIC_WRITE, OPEN_FLAGS));
    if (!pipe)
        failure = IsBusy(GetLastError()) ? Outcome::Busy : Outcome::Gone;
    return pipe;
}

// One message out, one reply of up to 8 bytes back, as a transacted call does, but never
// waiting longer than the reply bound.
Outcome TransactOnce(const wchar_t* pszPath, Transaction& t, DWORD cbText)
{
    Outcome failure = Outcome::Gone;
    GpFile pipe = OpenPipe(pszPath, failure);
    if (!pipe)
        return failure;
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe.Get(), &dwMode, nullptr, nullptr))
        return Outcome::Gone;
    GpKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return Outcome::Gone;

    ZeroMemory(&t.ov, sizeof(t.ov));
    t.ov.hEvent = event.Get();
    DWORD cbRead = 0;
    if (TransactNamedPipe(pipe.Get(), t.szText, cbText, t.reply, sizeof(t.reply), &cbRead, &t.ov))
        return Outcome::Done;
    DWORD dwErr = GetLastError();
    if (dwErr != ERROR_IO_PENDING)
        return (dwErr == ERROR_MORE_DATA) ? Outcome::Done : Outcome::Gone;
    if (WaitForSingleObject(event.Get(), GP_TRACE_REPLY_WAIT_MS) == WAIT_OBJECT_0)
    {
        GetOverlappedResult(pipe.Get(), &t.ov, &cbRead, FALSE);
        return Outcome::Done;
    }
    CancelIoEx(pipe.Get(), &t.ov);
    if (WaitForSingleObject(event.Get(), CANCEL_WAIT_MS) != WAIT_OBJECT_0)
    {
        // The system may still complete into the block and signal the event: both stay.
        event.Detach();
        return Outcome::Stuck;
    }
    GetOverlappedResult(pipe.Get(), &t.ov, &cbRead, FALSE);
    return Outcome::Stalled;
}
} // namespace

void GpTraceSetPipeOpener(GpTracePipeOpenFn pfnOpen)
{
    s_pfnOpen = (pfnOpen != nullptr) ? pfnOpen : OpenWithCreateFile;
}

void GpTraceSendPipe(const wchar_t* pszPipePath, LONG nGeneration, const GpTraceRecord& rec)
{
    if (GpTracePipeGivenUp(nGeneration))
        return;
    GpHeapBlock block(HeapAlloc(GetProcessHeap(), 0, sizeof(Transaction)));
    if (!block)
        return;
    Transaction& t = *static_cast<Transaction*>(block.Get());

    static const wchar_t* const FF = L"\x0c";
    const GpTraceProcess& proc = GpTraceProcessInfo();
    int n = GpFormat(t.szText, GP_TRACE_MSG_CCH + 1, L"%s%s%u%s%u%s%s%s%u%s%d%s%s%s%s%s%u%s\n",
                     proc.szProgram, FF, proc.dwProcessId, FF, rec.dwThreadId, FF, rec.szSource, FF,
                     rec.dwLine, FF, rec.nLevel, FF, rec.szMessage, FF, rec.szTime, FF, rec.dwSequence, FF);
    DWORD cb = static_cast<DWORD>((n < 0 ? lstrlenW(t.szText) : n) * sizeof(wchar_t));

    // A listener that is busy gets 100 chances 50 ms apart, no listener at all drops the record.
    // One that stalls, or stays busy through all the chances, has cost its one bounded wait: later
    // records of this process are not offered to it, so it cannot slow the road record by record.
    for (int nAttempt = 0; nAttempt < BUSY_ATTEMPTS; nAttempt++)
    {
        switch (TransactOnce(pszPipePath, t, cb))
        {
        case Outcome::Busy:
            Sleep(BUSY_PAUSE_MS);
            continue;
        case Outcome::Stuck:
            block.Detach();
            GpTraceGiveUpPipe(nGeneration);
            return;
        case Outcome::Stalled:
            GpTraceGiveUpPipe(nGeneration);
            return;
        case Outcome::Done:
        case Outcome::Gone:
            return;
        }
    }
    GpTraceGiveUpPipe(nGeneration);
}
