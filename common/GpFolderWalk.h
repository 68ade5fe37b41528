#pragma once
#include <windows.h>

#include <functional>

// What a walk reports for one entry.
enum class GpWalkEvent
{
    File,         // an entry that is not a folder
    Link,         // a reparse point (junction, symbolic link, mount point): never entered
    FolderEnd,    // a folder below the root, after everything in it has been reported
    TooDeep,      // a folder at the depth bound: not entered
    SearchFailed, // the search of a folder (pszPath is its pattern) failed with dwError
};

// Walks the tree below the folder pszRoot depth first without recursion: one open search per level,
// at most nMaxDepth levels below the root. pszPattern picks the entries of every folder ("*",
// "*.log"); only folders it picks are entered. Links are reported, never followed, so a link to a
// parent cannot make the walk go round. The visitor sees the entry's full path and its
// attributes as the search gave them.
void GpWalkFolder(const wchar_t* pszRoot, const wchar_t* pszPattern, int nMaxDepth,
                  const std::function<void(GpWalkEvent ev, const wchar_t* pszPath, DWORD dwValue)>& visit);

// Whether attributes from a search or GetFileAttributes name a reparse point. Wine shows a host
// symbolic link to a folder this way (and a link to a file as a plain file).
inline bool GpIsLink(DWORD dwAttributes)
{
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
