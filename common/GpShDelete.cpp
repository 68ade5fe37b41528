// Deleting files and folder trees with system rights: links are removed as links, never followed.
// The shell's delete is not used: it follows a folder link into what it points to.
#include "common/GpPath.h"

#include <string>

#include "common/GpErrorText.h"
#include "common/GpFolderWalk.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"

namespace
{
const wchar_t FN[] = L"ShDelete";

// Deep enough for any path the long form can hold ("x\" per level).
constexpr int MAX_DELETE_DEPTH = 16384;

// The long form of a full path, so that depth is limited by the file system and not by 260.
std::wstring LongForm(const wchar_t* pszPath)
{
    if (wcsncmp(pszPath, L"\\\\?\\", 4) == 0)
        return pszPath;
    DWORD cch = GetFullPathNameW(pszPath, 0, nullptr, nullptr);
    if (cch == 0)
        return pszPath;
    std::wstring full(cch, L'\0');
    cch = GetFullPathNameW(pszPath, cch, &full[0], nullptr);
    full.resize(cch);
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Removes the link itself. The handle is opened on the reparse point and checked to be one before
// it is marked for deletion: where the system resolves the link anyway (Wine opens what a host
// symbolic link points to), nothing is deleted.
DWORD RemoveLink(const wchar_t* pszPath)
{
    GpFile file(CreateFileW(pszPath, DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file)
        return GetLastError();
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof(tag)))
        return GetLastError();
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return ERROR_NOT_A_REPARSE_POINT;
    FILE_DISPOSITION_INFO disp = {TRUE};
    if (!SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disp, sizeof(disp)))
        return GetLastError();
    return ERROR_SUCCESS;
}

// A read-only file or folder is deleted too, as the shell's delete without confirmation does.
DWORD RemoveEntry(const wchar_t* pszPath, bool bFolder)
{
    for (int nTry = 0; nTry < 2; nTry++)
    {
        if (bFolder ? RemoveDirectoryW(pszPath) : DeleteFileW(pszPath))
            return ERROR_SUCCESS;
        DWORD dwErr = GetLastError();
        DWORD dwAttr = GetFileAttributesW(pszPath);
        if (nTry > 0 || dwErr != ERROR_ACCESS_DENIED || dwAttr == INVALID_FILE_ATTRIBUTES ||
            (dwAttr & FILE_ATTRIBUTE_READONLY) == 0)
            return dwErr;
        SetFileAttributesW(pszPath, dwAttr & ~FILE_ATTRIBUTE_READONLY);
    }
    return ERROR_ACCESS_DENIED;
}

class TreeDeleter
{
public:
    DWORD FirstError() const { return m_dwFirst; }

    void Delete(const wchar_t* pszEntry)
    {
        std::wstring path = LongForm(pszEntry);
        while (path.size() > 7 && path.back() == L'\\')
            path.pop_back();
        DWORD dwAttr = GetFileAttributesW(path.c_str());
        if (dwAttr == INVALID_FILE_ATTRIBUTES)
            return Fail(L"GetFileAttributes", GetLastError(), path.c_str());
        if (GpIsLink(dwAttr))
            return DeleteLink(path.c_str());
        if ((dwAttr & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return Check(L"DeleteFile", RemoveEntry(path.c_str(), false), path.c_str());
        GpWalkFolder(path.c_str(), L"*", MAX_DELETE_DEPTH,
                     [this](GpWalkEvent ev, const wchar_t* psz, DWORD dw) {
                         switch (ev)
                         {
                         case GpWalkEvent::File:
                             Check(L"DeleteFile", RemoveEntry(psz, false), psz);
                             break;
                         case GpWalkEvent::Link:
                             DeleteLink(psz);
                             break;
                         case GpWalkEvent::FolderEnd:
                             Check(L"RemoveDirectory", RemoveEntry(psz, true), psz);
                             break;
                         case GpWalkEvent::TooDeep:
                             Fail(L"TooDeep", ERROR_FILENAME_EXCED_RANGE, psz);
                             break;
                         case GpWalkEvent::SearchFailed:
                             Fail(L"FindFirstFile", dw, psz);
                             break;
                         }
                     });
        Check(L"RemoveDirectory", RemoveEntry(path.c_str(), true), path.c_str());
    }

private:
    void DeleteLink(const wchar_t* pszPath)
    {
        GPTRACE(TRACE_WARNING, L"[%s] リンクはリンクとして削除\u3000<%s>", FN, pszPath);
        Check(L"RemoveLink", RemoveLink(pszPath), pszPath);
    }
    void Check(const wchar_t* pszOp, DWORD dwErr, const wchar_t* pszPath)
    {
        if (dwErr != ERROR_SUCCESS)
            Fail(pszOp, dwErr, pszPath);
    }
    void Fail(const wchar_t* pszOp, DWORD dwErr, const wchar_t* pszPath)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！%s\u3000｛%s｝\u3000<%s>", FN, pszOp,
                GpErrText(static_cast<int>(dwErr)), pszPath);
        if (m_dwFirst == ERROR_SUCCESS)
            m_dwFirst = dwErr != ERROR_SUCCESS ? dwErr : ERROR_GEN_FAILURE;
    }

    DWORD m_dwFirst = ERROR_SUCCESS;
};
} // namespace

int ShDelete(const wchar_t* pszPath)
{
    if (pszPath == nullptr || pszPath[0] == L'\0')
    {
        GPTRACE(TRACE_WARNING, L"[%s] sel.GetSize()=%d.", FN, 0);
        return ERROR_NON;
    }
    TreeDeleter deleter;
    deleter.Delete(pszPath);
    DWORD dwErr = deleter.FirstError();
    if (dwErr != ERROR_SUCCESS)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！SHFileOperation from=<%s> to=<%s>\u3000ErrorCode=0x%X.", FN, pszPath,
                L"(null)", static_cast<unsigned>(dwErr));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    return ERROR_OK;
}
