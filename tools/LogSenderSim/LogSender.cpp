#include "tools/LogSenderSim/LogSender.h"

#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpTrace.h"
#include "common/VString.h"
#include "logcheck/QvcLogFolders.h"

namespace
{
const wchar_t* const FN = L"QvLogSenderSim";

// Same walk as the updater's count, so that a full send brings its count to zero.
int SendFolder(const VString& strFolder, int& nLeft)
{
    VString strPattern = strFolder + L"*.log";
    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW(strPattern.c_str(), &fd));
    if (!find)
        return 0;
    int nSent = 0;
    do
    {
        if (nLeft == 0)
            break;
        VString strPath = strFolder + fd.cFileName;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            strPath.Cat(L"\\");
            nSent += SendFolder(strPath, nLeft);
        }
        else if (DeleteFileW(strPath.c_str()))
        {
            nSent++;
            if (nLeft > 0)
                nLeft--;
            GPTRACE(TRACE_DEBUG, L"[%s] sent <%s>", FN, strPath.c_str());
        }
        else
        {
            GPTRACE(TRACE_WARNING, L"[%s] ！DeleteFile\u3000｛%s｝\u3000<%s>", FN, GpErrText(-1),
                    strPath.c_str());
        }
    } while (FindNextFileW(find.Get(), &fd));
    return nSent;
}
} // namespace

int SendPendingLogs(const wchar_t* pszLogsDir, int nLimit)
{
    int nLeft = nLimit < 0 ? -1 : nLimit;
    int nSent = 0;
    for (int i = 0; i < QVC_LOG_FOLDER_COUNT && nLeft != 0; i++)
    {
        VString strFolder(pszLogsDir);
        strFolder.Cat(QvcLogFolderName(i));
        strFolder.Cat(L"\\");
        nSent += SendFolder(strFolder, nLeft);
    }
    return nSent;
}
