#include "common/GpFolderWalk.h"

#include <string>
#include <vector>

#include "common/GpHandles.h"

namespace
{
struct Level
{
    GpFind find;
    size_t nPathLen; // length of the folder's path in the shared path buffer
};

bool IsDots(const wchar_t* psz)
{
    return psz[0] == L'.' && (psz[1] == L'\0' || (psz[1] == L'.' && psz[2] == L'\0'));
}
} // namespace

void GpWalkFolder(const wchar_t* pszRoot, const wchar_t* pszPattern, int nMaxDepth,
                  const std::function<void(GpWalkEvent ev, const wchar_t* pszPath, DWORD dwValue)>& visit)
{
    std::wstring path(pszRoot);
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    std::vector<Level> stack;
    WIN32_FIND_DATAW fd;

    // Opens the search of the folder that path names; false (reported) when it gives nothing.
    auto open = [&]() {
        size_t nLen = path.size();
        path += L'\\';
        path += pszPattern;
        GpFind find(FindFirstFileW(path.c_str(), &fd));
        if (!find)
        {
            visit(GpWalkEvent::SearchFailed, path.c_str(), GetLastError());
            path.resize(nLen);
            return false;
        }
        path.resize(nLen);
        stack.push_back(Level{std::move(find), nLen});
        return true;
    };

    if (!open())
        return;
    for (;;)
    {
        Level& top = stack.back();
        bool bEntered = false;
        if (!IsDots(fd.cFileName))
        {
            path.resize(top.nPathLen);
            path += L'\\';
            path += fd.cFileName;
            if (GpIsLink(fd.dwFileAttributes))
                visit(GpWalkEvent::Link, path.c_str(), fd.dwFileAttributes);
            else if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                visit(GpWalkEvent::File, path.c_str(), fd.dwFileAttributes);
            else if (static_cast<int>(stack.size()) > nMaxDepth)
                visit(GpWalkEvent::TooDeep, path.c_str(), fd.dwFileAttributes);
            else if (open())
            {
                // A folder swapped for a link after it was listed is not walked through either.
                if (GpIsLink(GetFileAttributesW(path.c_str())))
                {
                    stack.pop_back();
                    visit(GpWalkEvent::Link, path.c_str(), FILE_ATTRIBUTE_REPARSE_POINT);
                }
                else
                {
                    bEntered = true; // fd now holds the first entry of the new level
                }
            }
            else
                visit(GpWalkEvent::FolderEnd, path.c_str(), fd.dwFileAttributes);
        }
        if (bEntered)
            continue;
        // Next entry of the deepest level; a finished level is closed and its folder reported.
        while (!FindNextFileW(stack.back().find.Get(), &fd))
        {
            size_t nLen = stack.back().nPathLen;
            stack.pop_back();
            if (stack.empty())
                return;
            path.resize(nLen);
            visit(GpWalkEvent::FolderEnd, path.c_str(), FILE_ATTRIBUTE_DIRECTORY);
        }
    }
}
