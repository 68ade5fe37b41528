// Counting the pending log files of one folder.
#include "logcheck/UnsentLogChecker.h"

#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/GpErrorText.h"
#include "common/GpFolderWalk.h"
#include "common/GpHandles.h"
#include "common/GpTrace.h"

namespace
{
const wchar_t* const FN = L"CountQvcLogFiles";

// A folder as the file system knows it, whatever path or link led to it.
using FolderId = std::pair<DWORD, ULONGLONG>;

bool GetFolderId(const wchar_t* pszFolder, FolderId& id)
{
    // Opened through any link, so that a redirected folder gets the id of the folder it names.
    GpFile folder(CreateFileW(pszFolder, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!folder || !GetFileInformationByHandle(folder.Get(), &info))
        return false;
    id = FolderId(info.dwVolumeSerialNumber,
                  (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
    return true;
}

bool IsDots(const wchar_t* psz)
{
    return psz[0] == L'.' && (psz[1] == L'\0' || (psz[1] == L'.' && psz[2] == L'\0'));
}

struct Level
{
    GpFind find;
    size_t nPathLen; // length of the folder's path in the shared path buffer
};

// One walk below pszFolder. Without bGuard it stops at the first link it meets and answers -1: a
// tree without links cannot lead round, and most are such, so they are counted without opening every
// folder for its id.
int CountOnce(const wchar_t* pszFolder, bool bGuard)
{
    int nCount = 0;
    std::wstring path(pszFolder);
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    std::set<FolderId> counted;
    std::vector<Level> stack;
    WIN32_FIND_DATAW fd;
    bool bSwapped = false;

    // Opens the search of the folder that path names, once per folder; false when it gives nothing.
    auto open = [&](bool bLink) {
        FolderId id;
        if (bGuard && GetFolderId(path.c_str(), id))
        {
            if (!counted.insert(id).second)
            {
                GPTRACE(TRACE_WARNING, L"[%s] ！数え済みのフォルダです\u3000<%s>", FN, path.c_str());
                return false;
            }
        }
        else if (bGuard && bLink)
        {
            // A link whose folder cannot be told apart might lead round: it is not entered.
            DWORD dw = GetLastError();
            if (dw != ERROR_FILE_NOT_FOUND && dw != ERROR_PATH_NOT_FOUND)
                GPTRACE(TRACE_ERROR, L"[%s] ！CreateFile\u3000｛%s｝\u3000<%s>", FN,
                        GpErrText(static_cast<int>(dw)), path.c_str());
            return false;
        }
        size_t nLen = path.size();
        path += L"\\*.log";
        GpFind find(FindFirstFileW(path.c_str(), &fd));
        if (!find)
        {
            // A folder the client has not made yet, or one the sender just emptied, holds nothing.
            DWORD dw = GetLastError();
            if (dw != ERROR_FILE_NOT_FOUND && dw != ERROR_PATH_NOT_FOUND)
                GPTRACE(TRACE_ERROR, L"[%s] ！FindFirstFile\u3000｛%s｝\u3000<%s>", FN,
                        GpErrText(static_cast<int>(dw)), path.c_str());
            path.resize(nLen);
            return false;
        }
        path.resize(nLen);
        stack.push_back(Level{std::move(find), nLen});
        // A folder swapped for a link after it was listed: counted again with the guard.
        if (!bGuard && GpIsLink(GetFileAttributesW(path.c_str())))
            bSwapped = true;
        return true;
    };

    bool bRootLink = GpIsLink(GetFileAttributesW(path.c_str()));
    if (bRootLink && !bGuard)
        return -1;
    if (!open(bRootLink))
        return 0;
    for (;;)
    {
        bool bEntered = false;
        if (!IsDots(fd.cFileName))
        {
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                nCount++;
            else
            {
                bool bLink = GpIsLink(fd.dwFileAttributes);
                if (bLink && !bGuard)
                    return -1;
                path.resize(stack.back().nPathLen);
                path += L'\\';
                path += fd.cFileName;
                if (static_cast<int>(stack.size()) > QVC_LOG_MAX_DEPTH)
                    GPTRACE(TRACE_WARNING, L"[%s] ！階層が深すぎます depth>%d\u3000<%s>", FN,
                            QVC_LOG_MAX_DEPTH, path.c_str());
                else
                    bEntered = open(bLink); // fd now holds the new level's first entry
                if (bSwapped)
                    return -1;
            }
        }
        if (bEntered)
            continue;
        while (!FindNextFileW(stack.back().find.Get(), &fd))
        {
            stack.pop_back();
            if (stack.empty())
                return nCount;
        }
    }
}
} // namespace

int CountQvcLogFiles(const wchar_t* pszFolder)
{
    // An administrator may have moved a log folder elsewhere with a link, so links are followed. The
    // folders are writable by the client's users, though: once a link is met, the folder is counted
    // again with each folder known by its volume and file index, so that a link back to a parent or
    // to a folder already counted is not entered twice; a deep tree is counted only to a bound. The
    // count always ends and counts nothing twice.
    try
    {
        int nCount = CountOnce(pszFolder, false);
        return nCount >= 0 ? nCount : CountOnce(pszFolder, true);
    }
    catch (const std::bad_alloc&)
    {
        // Never "all sent" for want of memory: the wait goes on and ends by itself if nothing moves.
        GPTRACE(TRACE_FATAL, L"[%s] ！メモリ不足\u3000<%s>", FN, pszFolder);
        return 1;
    }
}
