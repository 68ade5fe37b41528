// Agent step: before the installer runs, the client's pending logs are to have been sent.
#include <memory>
#include <new>

#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"
#include "logcheck/UnsentLogChecker.h"
#include "app/LumoAgentApp.h"

namespace
{
constexpr DWORD LOGCHECK_POLL_MS = 250;
constexpr int LOGCHECK_POLL_LIMIT = 43200; // 43 200 x 250 ms = 3 hours
} // namespace

BOOL LumoAgentApp::LogCheck()
{
    static const wchar_t* const FN = L"LumoAgentApp::LogCheck";
    if (!m_bCheckLog)
        return 1;

    std::unique_ptr<UnsentLogChecker> checker(new (std::nothrow) UnsentLogChecker);
    if (!checker)
    {
        GPTRACE(TRACE_FATAL, L"[%s] \"new\" に失敗", FN);
        SetExit(10, 8);
        return 0;
    }
    if (!checker->StartCheckThread())
    {
        SetExit(10, 8);
        return 0;
    }

    DWORD dwResult = static_cast<DWORD>(-1);
    for (int i = 0; i < LOGCHECK_POLL_LIMIT; i++)
    {
        GpSleep(LOGCHECK_POLL_MS);
        if (checker->IsComplete(&dwResult))
            break;
    }
    // After three hours the worker may still be counting: it is stopped and waited for before
    // the checker it reads goes away.
    checker->StopAndWait();
    checker.reset();

    if (dwResult == static_cast<DWORD>(ERROR_OK))
        return 1;
    GPTRACE(TRACE_ERROR, L"[%s] 未送信ログの確認中にエラー発生 dw=<%u>", FN, dwResult);
    SetExit(7, ERROR_NO_MORE_FILES);
    return 0;
}
