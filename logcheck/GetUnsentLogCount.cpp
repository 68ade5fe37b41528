// One count over the nine log folders, with the nudge to the client's log sender.
#include "logcheck/UnsentLogChecker.h"

#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpTrace.h"
#include "logcheck/QvcLogFolders.h"

int UnsentLogChecker::GetUnsentLogCount(int nPass)
{
    static const wchar_t* const FN = L"UnsentLogChecker::GetUnsentLogCount";
    int nTotal = 0;
    for (int i = 0; i < m_folders.GetSize(); i++)
        nTotal += CountQvcLogFiles((m_strLogsDir + m_folders[i]).c_str());

    // The sender reacts to the creation of the trigger; the file itself never stays.
    if (nTotal > 0 && nTotal == m_nLastCount && nPass % TRIGGER_EVERY == 0)
    {
        VString strTrigger = m_strLogsDir + m_folders[0];
        strTrigger.Cat(L"\\");
        strTrigger.Cat(QVC_LOG_TRIGGER_NAME);
        GPTRACE(TRACE_TRACE, L"[%s] InvokeLogSend=<%s>", FN, strTrigger.c_str());
        GpFile file(CreateFileW(strTrigger.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (!file)
        {
            GPTRACE(TRACE_ERROR, L"[%s] !CreateFile\u3000｛%s｝\u3000path=<%s>", FN, GpErrText(-1),
                    strTrigger.c_str());
        }
    }
    m_nLastCount = nTotal;
    return nTotal;
}
