// Counting the pending log files of one folder.
#include "UnsentLogChecker.h"

#include "../common/GpErrorText.h"
#include "../common/GpHandles.h"
#include "../common/GpTrace.h"

int CountQvcLogFiles(const wchar_t* pszFolder)
{
    static const wchar_t* const FN = L"CountQvcLogFiles";
    VString strFolder(pszFolder);
    strFolder.AppendUnlessPresent(L"\\");
    VString strPattern = strFolder;
    strPattern.Cat(L"*.log");

    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW(strPattern.c_str(), &fd));
    if (!find)
    {
        // A folder the client has not made yet, or one the sender just emptied, holds nothing.
        DWORD dwErr = GetLastError();
        if (dwErr != ERROR_FILE_NOT_FOUND && dwErr != ERROR_PATH_NOT_FOUND)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！FindFirstFile\u3000｛%s｝\u3000<%s>", FN,
                    GpErrText(static_cast<int>(dwErr)), strPattern.c_str());
        }
        return 0;
    }
    int nCount = 0;
    do
    {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            nCount += CountQvcLogFiles((strFolder + fd.cFileName).c_str());
        else
            nCount++;
    } while (FindNextFileW(find.Get(), &fd));
    return nCount;
}
