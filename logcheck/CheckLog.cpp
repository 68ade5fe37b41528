// The worker loop: count, nudge, pause, until the logs are gone or stop moving.
#include "logcheck/UnsentLogChecker.h"

#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"

DWORD UnsentLogChecker::CheckLog()
{
    static const wchar_t* const FN = L"UnsentLogChecker::CheckLog";
    int nBefore = 0;
    int nTries = 0;
    for (;;)
    {
        if (InterlockedCompareExchange(&m_bStop, 0, 0) != 0)
            return ERROR_OK;

        int nCount = GetUnsentLogCount(nTries);
        if (nCount == 0)
        {
            GPTRACE(TRACE_TRACE, L"[%s] ログ送信完了!!", FN);
            return ERROR_OK;
        }
        nTries++;
        GPTRACE(TRACE_TRACE, L"[%s] try=%d/%d: count=%d before=%d", FN, nTries, PATIENCE, nCount, nBefore);

        GpSleep(PASS_PAUSE_MS);

        // Any movement, up or down, means the sender is alive: patience starts again.
        if (nCount != nBefore)
        {
            nBefore = nCount;
            nTries = 0;
            continue;
        }
        if (nTries > PATIENCE)
        {
            GPTRACE(TRACE_WARNING, L"[%s] ログが全然送れていないので処理中止. <%d>==<%d>", FN, nCount,
                    nBefore);
            return NO_PROGRESS;
        }
    }
}
