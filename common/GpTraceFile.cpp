#include "common/GpTraceInternal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/GpFormat.h"
#include "common/GpHandles.h"
#include "common/GpTrace.h"

namespace
{
int s_nLines; // lines this process has written to the current file

void GenerationName(char* pszOut, size_t cbOut, const char* pszBase, unsigned int k)
{
    unsigned int g = GpTraceActiveSettings().wGenerations;
    if (g == 0)
        snprintf(pszOut, cbOut, "%s.log", pszBase);
    else if (g < 10)
        snprintf(pszOut, cbOut, "%s#%u.log", pszBase, k);
    else if (g < 100)
        snprintf(pszOut, cbOut, "%s#%02u.log", pszBase, k);
    else if (g < 1000)
        snprintf(pszOut, cbOut, "%s#%03u.log", pszBase, k);
    else
        snprintf(pszOut, cbOut, "%s#%04u.log", pszBase, k);
}

bool Exists(const char* pszPath)
{
    return GetFileAttributesA(pszPath) != INVALID_FILE_ATTRIBUTES;
}

void Rotate(const char* pszBase)
{
    unsigned int g = GpTraceActiveSettings().wGenerations;
    if (g > 9999)
        g = 9999;
    char szOlder[GP_TRACE_PATH_CCH + 16];
    char szNewer[GP_TRACE_PATH_CCH + 16];
    for (unsigned int k = g; k >= 1; k--)
    {
        GenerationName(szOlder, sizeof(szOlder), pszBase, k);
        GenerationName(szNewer, sizeof(szNewer), pszBase, k - 1);
        if (Exists(szOlder))
            DeleteFileA(szOlder);
        if (Exists(szNewer))
            MoveFileA(szNewer, szOlder);
    }
}

bool WriteAll(HANDLE h, const void* p, DWORD cb)
{
    DWORD cbDone = 0;
    return WriteFile(h, p, cb, &cbDone, nullptr) && cbDone == cb;
}

// Creates (replacing) a log file and writes its BOM and banner; the handle stays open.
GpFile CreateLogFile(const char* pszPath)
{
    UINT uOldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    // A link planted at a log file's name is replaced as itself, never written through.
    const DWORD dwFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    GpFile h(CreateFileA(pszPath, GENERIC_ALL, FILE_SHARE_READ, &sa, CREATE_ALWAYS, dwFlags, nullptr));
    if (!h)
        h.Reset(CreateFileA(pszPath, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, dwFlags, nullptr));
    SetErrorMode(uOldMode);
    if (!h)
        return h;

    wchar_t szExe[GP_TRACE_PATH_CCH + 1] = L"";
    GetModuleFileNameW(nullptr, szExe, GP_TRACE_PATH_CCH);
    szExe[GP_TRACE_PATH_CCH] = L'\0';
    wchar_t szBanner[GP_TRACE_PATH_CCH + 64];
    int n = GpFormat(szBanner, GP_TRACE_PATH_CCH + 64,
                     L"\xFEFF\r\n=====  Trace start!  by {%s}  =====\r\n\r\n", szExe);
    if (n < 0)
        n = lstrlenW(szBanner);
    WriteAll(h.Get(), szBanner, static_cast<DWORD>(n * sizeof(wchar_t)));
    return h;
}

// Base of the generation names: drive, folder and file name without its extension.
void BaseFromPath(char* pszBase, size_t cbBase, const char* pszPath)
{
    char szDrive[_MAX_DRIVE], szDir[_MAX_DIR], szName[_MAX_FNAME], szExt[_MAX_EXT];
    if (_splitpath_s(pszPath, szDrive, sizeof(szDrive), szDir, sizeof(szDir), szName, sizeof(szName), szExt,
                     sizeof(szExt)) != 0)
    {
        snprintf(pszBase, cbBase, "%s", pszPath);
        return;
    }
    snprintf(pszBase, cbBase, "%s%s%s", szDrive, szDir, szName);
}

// Rotates the generations of pszBase and creates generation 0, which becomes the log path.
GpFile RotateAndCreate(const char* pszBase)
{
    char szPath[GP_TRACE_PATH_CCH + 16];
    if (GpTraceActiveSettings().wGenerations != 0)
        Rotate(pszBase);
    GenerationName(szPath, sizeof(szPath), pszBase, 0);
    snprintf(GpTraceActiveSettings().szLogPath, GP_TRACE_PATH_CCH, "%s", szPath);
    s_nLines = 0;
    return CreateLogFile(GpTraceActiveSettings().szLogPath);
}

GpFile OpenForLine()
{
    GpTraceSettings& s = GpTraceActiveSettings();
    if (s.szLogPath[0] == '\0')
    {
        char szExe[GP_TRACE_PATH_CCH] = "";
        GetModuleFileNameA(nullptr, szExe, GP_TRACE_PATH_CCH);
        szExe[GP_TRACE_PATH_CCH - 1] = '\0';
        char szBase[GP_TRACE_PATH_CCH];
        BaseFromPath(szBase, sizeof(szBase), szExe);
        return RotateAndCreate(szBase);
    }
    if (s_nLines > GP_TRACE_MAX_LINES)
    {
        char szBase[GP_TRACE_PATH_CCH];
        snprintf(szBase, sizeof(szBase), "%s", s.szLogPath);
        static const char* const suffixes[] = {"#0000.log", "#000.log", "#00.log", "#0.log"};
        bool bCut = false;
        for (const char* pszSuffix : suffixes)
        {
            char* p = strstr(szBase, pszSuffix);
            if (p != nullptr)
            {
                *p = '\0';
                bCut = true;
                break;
            }
        }
        if (!bCut)
        {
            char* pDot = strrchr(szBase, '.');
            char* pSlash = strrchr(szBase, '\\');
            if (pDot != nullptr && (pSlash == nullptr || pDot > pSlash))
                *pDot = '\0';
        }
        return RotateAndCreate(szBase);
    }

    GpFile h;
    for (int nAttempt = 0; nAttempt < 50; nAttempt++)
    {
        h.Reset(CreateFileA(s.szLogPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (h || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(100);
    }
    if (!h)
    {
        DWORD dwErr = GetLastError();
        if (dwErr != ERROR_FILE_NOT_FOUND)
            return h;
        // Deleted from outside: start it again with a banner, without rotating.
        s_nLines = 0;
        return CreateLogFile(s.szLogPath);
    }
    if (SetFilePointer(h.Get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return GpFile();
    return h;
}
} // namespace

void GpTraceWriteFile(const GpTraceRecord& rec)
{
    const wchar_t* pszName = GpTraceLevelName(rec.nLevel);
    if (pszName == nullptr)
        return;
    // The whole line is built first and written at once, so that no other writer's line can
    // land inside it; heap rather than stack, it is about 9 KB.
    const size_t cchHeadMax = GP_TRACE_PATH_CCH + 32;
    const size_t cchLine = cchHeadMax + GP_TRACE_MSG_CCH + 3;
    GpHeapBlock line(HeapAlloc(GetProcessHeap(), 0, cchLine * sizeof(wchar_t)));
    if (!line)
        return;
    wchar_t* pszLine = static_cast<wchar_t*>(line.Get());
    int cchHead = GpFormat(pszLine, cchHeadMax, L"%s(%u):\t", rec.szSource, rec.dwLine);
    if (cchHead < 0)
        cchHead = lstrlenW(pszLine);
    int cchText = GpFormat(pszLine + cchHead, GP_TRACE_MSG_CCH + 1,
                           L"<%s>\t%s\t%s\u3000\tTID=%u \tPID=%u \tPG:%s", pszName, rec.szMessage, rec.szTime,
                           rec.dwThreadId, GpTraceProcessInfo().dwProcessId, GpTraceProcessInfo().szProgram);
    if (cchText < 0)
        cchText = lstrlenW(pszLine + cchHead);
    int cch = cchHead + cchText;
    pszLine[cch++] = L'\r';
    pszLine[cch++] = L'\n';

    GpFile h = OpenForLine();
    if (h)
    {
        WriteAll(h.Get(), pszLine, static_cast<DWORD>(cch * sizeof(wchar_t)));
        h.Reset();
        s_nLines++;
    }
}

void GpTraceNewLogFromText(const wchar_t* pszPath, bool bKeep)
{
    char szPath[GP_TRACE_PATH_CCH];
    if (WideCharToMultiByte(CP_ACP, 0, pszPath, -1, szPath, GP_TRACE_PATH_CCH, nullptr, nullptr) == 0)
        szPath[GP_TRACE_PATH_CCH - 1] = '\0';
    char szBase[GP_TRACE_PATH_CCH];
    BaseFromPath(szBase, sizeof(szBase), szPath);
    RotateAndCreate(szBase); // the new file is closed at once
    if (!bKeep)
        DeleteFileA(GpTraceActiveSettings().szLogPath);
}

void GpTraceSetGenerations(int nGenerations)
{
    GpTraceSettings& s = GpTraceActiveSettings();
    if (nGenerations >= 0 && nGenerations < 10000)
        s.wGenerations = static_cast<USHORT>(nGenerations);
    if (s.szLogPath[0] == '\0')
        return;
    char szBase[GP_TRACE_PATH_CCH];
    snprintf(szBase, sizeof(szBase), "%s", s.szLogPath);
    char* pHash = strchr(szBase, '#');
    if (pHash != nullptr)
        *pHash = '\0';
    RotateAndCreate(szBase); // the new file is closed at once
    DeleteFileA(s.szLogPath);
}
