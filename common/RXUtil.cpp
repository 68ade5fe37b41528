#include "common/RXUtil.h"

#include <string.h>

#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"

namespace
{
// Option byte and command code for the trace lines; only read where the request holds them.
void RequestIds(const void* pRequest, int cbRequest, int& nOption, int& nCommand)
{
    nOption = 0;
    nCommand = 0;
    const BYTE* p = static_cast<const BYTE*>(pRequest);
    if (cbRequest > static_cast<int>(offsetof(ServiceRequestHeader, bOption)))
        nOption = p[offsetof(ServiceRequestHeader, bOption)];
    if (cbRequest >= static_cast<int>(offsetof(ServiceRequestHeader, wCommand) + sizeof(WORD)))
    {
        WORD w;
        memcpy(&w, p + offsetof(ServiceRequestHeader, wCommand), sizeof(w));
        nCommand = w;
    }
}
} // namespace

int RXUtil::SendCommEx(const void* pRequest, int cbRequest, void* pReply, int cbReply)
{
    static const wchar_t* const FN = L"RXUtil::SendCommEx";
    // A negative size would reach the pipe call as a huge count: refused like a missing buffer.
    if (pRequest == nullptr || pReply == nullptr || cbRequest < 0 || cbReply < 0)
        return ERROR_INVALID_PARAMETER;

    DWORD cbRead = 0;
    for (;;)
    {
        // One connection per request, as CallNamedPipe makes it, but opened at identification level:
        // whoever serves the pipe may learn who calls, never act as the caller.
        GpFile pipe(GpOpenPipeClient(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE,
                                     SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
        DWORD dwErr = ERROR_SUCCESS;
        if (!pipe)
        {
            dwErr = GetLastError();
            // The service serves a few instances; while all are taken, wait for one without limit.
            if (dwErr == ERROR_PIPE_BUSY || dwErr == ERROR_SEM_TIMEOUT)
            {
                GpSleep(1000);
                continue;
            }
        }
        else
        {
            DWORD dwMode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(pipe.Get(), &dwMode, nullptr, nullptr) ||
                !TransactNamedPipe(pipe.Get(), const_cast<void*>(pRequest), static_cast<DWORD>(cbRequest),
                                   pReply, static_cast<DWORD>(cbReply), &cbRead, nullptr))
                dwErr = GetLastError();
        }
        if (dwErr == ERROR_SUCCESS)
            break;
        int nOption, nCommand;
        RequestIds(pRequest, cbRequest, nOption, nCommand);
        GPTRACE(TRACE_ERROR, L"[%s] ！CallNamedPipe<opt=%d, cmd=%d>　｛%s｝", FN, nOption, nCommand,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    if (cbRead == static_cast<DWORD>(cbReply))
        return ERROR_OK;
    int nOption, nCommand;
    RequestIds(pRequest, cbRequest, nOption, nCommand);
    GPTRACE(TRACE_ERROR, L"[%s] CallNamedPipe<opt=%d, cmd=%d>　nOut=%d cb=%d.", FN, nOption, nCommand,
            cbReply, static_cast<int>(cbRead));
    return ERROR_INVALID_DATA;
}
