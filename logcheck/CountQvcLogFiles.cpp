// Counting the pending log files of one folder.
#include "logcheck/UnsentLogChecker.h"

#include "common/GpErrorText.h"
#include "common/GpFolderWalk.h"
#include "common/GpTrace.h"

int CountQvcLogFiles(const wchar_t* pszFolder)
{
    static const wchar_t* const FN = L"CountQvcLogFiles";
    // The client's folders are writable by its users: a link (to a parent, to another disk) is
    // not followed and a deep tree is counted only to a bound, so the count always ends.
    if (GpIsLink(GetFileAttributesW(pszFolder)))
    {
        GPTRACE(TRACE_WARNING, L"[%s] ！リンクは数えません\u3000<%s>", FN, pszFolder);
        return 0;
    }
    int nCount = 0;
    GpWalkFolder(pszFolder, L"*.log", QVC_LOG_MAX_DEPTH, [&](GpWalkEvent ev, const wchar_t* psz, DWORD dw) {
        switch (ev)
        {
        case GpWalkEvent::File:
            nCount++;
            break;
        case GpWalkEvent::Link:
            GPTRACE(TRACE_WARNING, L"[%s] ！リンクは数えません\u3000<%s>", FN, psz);
            break;
        case GpWalkEvent::TooDeep:
            GPTRACE(TRACE_WARNING, L"[%s] ！階層が深すぎます depth>%d\u3000<%s>", FN, QVC_LOG_MAX_DEPTH, psz);
            break;
        case GpWalkEvent::SearchFailed:
            // A folder the client has not made yet, or one the sender just emptied, holds nothing.
            if (dw != ERROR_FILE_NOT_FOUND && dw != ERROR_PATH_NOT_FOUND)
                GPTRACE(TRACE_ERROR, L"[%s] ！FindFirstFile\u3000｛%s｝\u3000<%s>", FN,
                        GpErrText(static_cast<int>(dw)), psz);
            break;
        case GpWalkEvent::FolderEnd:
            break;
        }
    });
    return nCount;
}
