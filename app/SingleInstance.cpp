// The agent's single-instance guard and the start-up signal of whoever launched it.
#include "app/LumoAgentApp.h"

#include <stdlib.h>
#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpEvent.h"
#include "common/GpFormat.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"

BOOL LumoAgentApp::IsDuplicate()
{
    static const wchar_t* const FN = L"LumoAgentApp::IsDuplicate";
    if (!m_bAgent)
        return 0;

    // Never acquired: the mutex exists exactly as long as some agent holds its handle.
    int rc = m_mutex.Create(L"LumoAgent");
    if (rc == ERROR_NON)
    {
        GPTRACE(TRACE_MESSAGE, L"[%s] 既に起動しています。", FN);
        SetExit(1, ERROR_SERVICE_ALREADY_RUNNING);
        return 1;
    }
    if (rc != ERROR_OK)
    {
        SetExit(1, static_cast<int>(m_mutex.LastError()));
        GPTRACE(TRACE_ERROR, L"[%s] Mutex作成エラー\u3000rc=%d.\u3000｛%s｝", FN, rc,
                GpErrText(static_cast<int>(m_mutex.LastError())));
        return 1;
    }

    const wchar_t* pszSig = (m_lpCmdLine != nullptr) ? wcsstr(m_lpCmdLine, L"/sig=") : nullptr;
    if (pszSig == nullptr)
        return 0;

    // The rest of the line may be longer than the value buffer: only its start matters.
    wchar_t szSig[LUMO_PATH_CCH + 1];
    lstrcpynW(szSig, pszSig + 5, LUMO_PATH_CCH + 1);
    GPTRACE(TRACE_TRACE, L"[%s] sig=<%s>.", FN, szSig);
    wchar_t* pszQuote = wcschr(szSig, L'"');
    if (pszQuote != nullptr)
        *pszQuote = L'\0';
    // Wrapping addition: an out-of-range value names some event, never undefined behaviour.
    int nSig = static_cast<int>(static_cast<unsigned int>(_wtoi(szSig)) + 12345u);
    GpFormatN(szSig, L"LumoAgent%d", nSig);

    GpEvent event;
    rc = event.Open(szSig);
    GPTRACE(TRACE_TRACE, L"[%s] sig-open rc=%d, <%s>.", FN, rc, szSig);
    if (rc < 0)
    {
        GPTRACE(TRACE_WARNING, L"[%s] Event(%s)作成エラー rc=%d.\u3000｛%s｝", FN, szSig, rc,
                GpErrText(static_cast<int>(event.LastError())));
    }
    else
    {
        BOOL bSet = event.Handle() != nullptr && SetEvent(event.Handle());
        GPTRACE(TRACE_TRACE, L"[%s] sig-raise rc=%d.", FN, bSet ? 1 : 0);
    }
    event.Close();
    return 0;
}
