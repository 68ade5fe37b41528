// One count over the nine log folders, with the nudge to the client's log sender.
#include "logcheck/UnsentLogChecker.h"

#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpTrace.h"
#include "logcheck/QvcLogFolders.h"

namespace
{
const wchar_t* const FN = L"UnsentLogChecker::GetUnsentLogCount";

// Wine opens a host link to a file as that file, even with FILE_FLAG_OPEN_REPARSE_POINT: there a
// planted link cannot be told from a stale file, so neither is removed.
bool FileLinksOpenAsTargets()
{
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

// Whether the open handle names exactly pszPath, not a file some link on the way led to.
bool HandleIsAt(HANDLE h, const wchar_t* pszPath)
{
    wchar_t szFinal[MAX_PATH + 8] = L"";
    DWORD cch = GetFinalPathNameByHandleW(h, szFinal, MAX_PATH + 8, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (cch == 0 || cch >= MAX_PATH + 8)
        return false;
    const wchar_t* pszFinal = szFinal;
    if (wcsncmp(pszFinal, L"\\\\?\\", 4) == 0)
        pszFinal += 4;
    return CompareStringOrdinal(pszFinal, -1, pszPath, -1, TRUE) == CSTR_EQUAL;
}

// A "Wake.up" that is already there (left over, planted, a folder or a link) is never opened
// through: a link is removed as itself, and only from the first log folder; anything else stays
// and this nudge is left out. True when the name is free again.
bool RemoveStaleTrigger(const wchar_t* pszPath)
{
    GpFile file(CreateFileW(pszPath, DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
    {
        DWORD dw = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] !CreateFile\u3000｛%s｝\u3000path=<%s>", FN,
                GpErrText(static_cast<int>(dw)), pszPath);
        return dw == ERROR_FILE_NOT_FOUND; // gone in the meantime
    }
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof(tag)))
        tag.FileAttributes = INVALID_FILE_ATTRIBUTES;
    bool bLink = tag.FileAttributes != INVALID_FILE_ATTRIBUTES &&
                 (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    bool bFolder =
        tag.FileAttributes == INVALID_FILE_ATTRIBUTES || (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool bRemovable = bLink || (!bFolder && !FileLinksOpenAsTargets());
    if (!bRemovable || !HandleIsAt(file.Get(), pszPath))
    {
        GPTRACE(TRACE_WARNING, L"[%s] ！既存のトリガーがあるため今回は作りません\u3000attr=0x%X\u3000<%s>",
                FN, tag.FileAttributes, pszPath);
        return false;
    }
    GPTRACE(TRACE_WARNING, L"[%s] ！既存のトリガーを削除します\u3000attr=0x%X\u3000<%s>", FN,
            tag.FileAttributes, pszPath);
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition, sizeof(disposition)))
    {
        GPTRACE(TRACE_ERROR, L"[%s] !SetFileInformationByHandle\u3000｛%s｝\u3000path=<%s>", FN,
                GpErrText(-1), pszPath);
        return false;
    }
    return true; // the name goes when the handle closes
}

// Creates the trigger anew and closes it at once; never opens or truncates an existing file.
DWORD CreateTrigger(const wchar_t* pszPath)
{
    GpFile file(CreateFileW(pszPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));
    return file ? ERROR_SUCCESS : GetLastError();
}
} // namespace

int UnsentLogChecker::GetUnsentLogCount(int nPass)
{
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
        DWORD dw = CreateTrigger(strTrigger.c_str());
        if (dw == ERROR_FILE_EXISTS || dw == ERROR_ALREADY_EXISTS || dw == ERROR_ACCESS_DENIED)
        {
            if (RemoveStaleTrigger(strTrigger.c_str()))
                dw = CreateTrigger(strTrigger.c_str());
        }
        if (dw != ERROR_SUCCESS)
        {
            GPTRACE(TRACE_ERROR, L"[%s] !CreateFile\u3000｛%s｝\u3000path=<%s>", FN,
                    GpErrText(static_cast<int>(dw)), strTrigger.c_str());
        }
    }
    m_nLastCount = nTotal;
    return nTotal;
}
