#pragma once
#include <windows.h>

#include "common/GpHandles.h"

// The status file LumoAgent.ini: an ini file that other products' updaters write too. A record
// replaces the keys of its section only; every other byte of the file stays as it was.

struct StatusKey
{
    const wchar_t* pszKey;
    const wchar_t* pszValue;
};

// The largest status file a record is written into: the file is read whole.
constexpr DWORD STATUS_FILE_MAX = 1024 * 1024;

// The file's bytes with the record put in: keys of the section (the first of that name, compared
// without case) replaced line by line, missing ones added after the section's last line in the
// given order, a missing section added at the end. The file keeps its encoding (byte-order mark
// for UTF-16 or UTF-8, otherwise the ANSI code page, as a new file is written). ERROR_OK, or
// ERROR_INVALID_DATA for a text that would break the file's lines, ERROR_NOT_ENOUGH_MEMORY.
int BuildStatusFile(const BYTE* pOld, DWORD cbOld, const wchar_t* pszSection, const StatusKey* pKeys,
                    int nKeys, GpHeapBlock& out, DWORD& cbOut);

// Writes the record: the old file is read, the new one is written beside it under a name of its
// own and renamed over it. On any failure the file is untouched; pszStep names the call that
// failed ("CreateFile", "ReadFile", "WriteFile", "MoveFileEx"...). ERROR_OK or the error.
int WriteStatusFile(const wchar_t* pszIni, const wchar_t* pszSection, const StatusKey* pKeys, int nKeys,
                    const wchar_t*& pszStep);

// Copies left beside the file by an agent that was stopped.
void RemoveStatusTemps(const wchar_t* pszIni);
