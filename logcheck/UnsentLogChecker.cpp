// Life of the checker and its worker thread, as seen from the main thread.
#include "logcheck/UnsentLogChecker.h"

#include <errno.h>
#include <process.h>

#include "common/GpErrorText.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"
#include "logcheck/QvcLogFolders.h"

UnsentLogChecker::UnsentLogChecker() = default;

UnsentLogChecker::~UnsentLogChecker()
{
    // The worker reads our fields: never free them under it.
    StopAndWait();
}

BOOL UnsentLogChecker::StartCheckThread()
{
    static const wchar_t* const FN = L"UnsentLogChecker::StartCheckThread";
    if (m_hThread)
    {
        GPTRACE(TRACE_ERROR, L"[%s] スレッド実行中. m_hThread=0x%p", FN, m_hThread.Get());
        return 1;
    }

    HRESULT hr = GetQvcLogsDir(m_strLogsDir);
    if (FAILED(hr))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！SHGetFolderPath Err=<%s>", FN, GpErrText(static_cast<int>(hr)));
        return 0;
    }
    GPTRACE(TRACE_TRACE, L"[%s] LogsDir=<%s>", FN, m_strLogsDir.c_str());

    // Every field is filled before the worker starts; afterwards only the worker touches them.
    try
    {
        m_folders.SetSize(0);
        for (int i = 0; i < QVC_LOG_FOLDER_COUNT; i++)
            m_folders.Add(QvcLogFolderName(i));
    }
    catch (int)
    {
        GPTRACE(TRACE_FATAL, L"[%s] ！m_folders の確保に失敗", FN);
        return 0;
    }

    uintptr_t h = _beginthreadex(nullptr, 0, CbfnCheck, this, 0, nullptr);
    if (h == 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！_beginthreadex errno=<%d>", FN, errno);
        return 0;
    }
    m_hThread.Reset(reinterpret_cast<HANDLE>(h));
    GPTRACE(TRACE_TRACE, L"[%s] hThread=0x%p", FN, m_hThread.Get());
    return 1;
}

unsigned __stdcall CbfnCheck(void* pChecker)
{
    return static_cast<UnsentLogChecker*>(pChecker)->CheckLog();
}

BOOL UnsentLogChecker::IsComplete(DWORD* pdwResult)
{
    static const wchar_t* const FN = L"UnsentLogChecker::IsComplete";
    DWORD dwCode = 0;
    if (!GetExitCodeThread(m_hThread.Get(), &dwCode))
    {
        dwCode = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！GetExitCodeThread\u3000｛%s｝", FN,
                GpErrText(static_cast<int>(dwCode)));
        // We cannot tell whether the worker still runs; it must have ended before the handle
        // goes and the checker is freed.
        if (dwCode != STILL_ACTIVE)
        {
            InterlockedExchange(&m_bStop, 1);
            GpWaitForObject(m_hThread.Get(), INFINITE);
        }
    }
    *pdwResult = dwCode;
    if (dwCode == STILL_ACTIVE)
        return 0;

    GPTRACE(TRACE_TRACE, L"[%s] ExitThread m_hThread=0x%p\u3000｛%s｝", FN, m_hThread.Get(),
            GpErrText(static_cast<int>(dwCode)));
    m_hThread.Reset();
    return 1;
}

void UnsentLogChecker::StopAndWait()
{
    static const wchar_t* const FN = L"UnsentLogChecker::StopAndWait";
    if (!m_hThread)
        return;
    // The worker looks at the request before each pass, so this waits at most one pause and
    // one count.
    InterlockedExchange(&m_bStop, 1);
    GPTRACE(TRACE_WARNING, L"[%s] 停止要求. 終了待ち m_hThread=0x%p", FN, m_hThread.Get());
    DWORD dwWait = GpWaitForObject(m_hThread.Get(), INFINITE);
    DWORD dwCode = 0;
    if (dwWait != WAIT_OBJECT_0 || !GetExitCodeThread(m_hThread.Get(), &dwCode))
        dwCode = GetLastError();
    GPTRACE(TRACE_TRACE, L"[%s] 終了 wait=%u dw=<%u>", FN, dwWait, dwCode);
    m_hThread.Reset();
}
