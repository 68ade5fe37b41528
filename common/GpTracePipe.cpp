#include "common/GpTraceInternal.h"

#include "common/GpFormat.h"

void GpTraceBuildPipePath()
{
    GpFormat(g_gpTraceProcess.szPipePath, 128, L"\\\\%s\\pipe\\%s", g_gpTraceSettings.szPipeServer,
             g_gpTraceSettings.szPipeName);
}

void GpTraceSendPipe(const wchar_t* pszPipePath, const GpTraceRecord& rec)
{
    static const wchar_t* const FF = L"\x0c";
    wchar_t szText[GP_TRACE_MSG_CCH + 1];
    int n = GpFormat(szText, GP_TRACE_MSG_CCH + 1, L"%s%s%u%s%u%s%s%s%u%s%d%s%s%s%s%s%u%s\n",
                     g_gpTraceProcess.szProgram, FF, g_gpTraceProcess.dwProcessId, FF, rec.dwThreadId, FF,
                     rec.szSource, FF, rec.dwLine, FF, rec.nLevel, FF, rec.szMessage, FF, rec.szTime, FF,
                     rec.dwSequence, FF);
    DWORD cb = static_cast<DWORD>((n < 0 ? lstrlenW(szText) : n) * sizeof(wchar_t));

    // One transacted call per record; a listener that is busy gets 100 chances 50 ms apart,
    // no listener at all drops the record.
    for (int nAttempt = 0; nAttempt < 100; nAttempt++)
    {
        BYTE reply[8];
        DWORD cbRead = 0;
        if (CallNamedPipeW(pszPipePath, szText, cb, reply, sizeof(reply), &cbRead, 1))
            return;
        DWORD dwErr = GetLastError();
        if (dwErr == ERROR_MORE_DATA)
            return;
        if (dwErr != ERROR_PIPE_BUSY && dwErr != ERROR_SEM_TIMEOUT)
            return;
        Sleep(50);
    }
}
