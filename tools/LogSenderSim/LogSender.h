#pragma once
#include <windows.h>

// "Sends" pending logs the way the client's sender does as far as the updater can see: the
// "*.log" files of the nine log folders (and of their "*.log" sub-folders) disappear.
// Removes at most nLimit files (nLimit < 0: all) under strLogsDir (ending with a backslash);
// returns how many were removed.
int SendPendingLogs(const wchar_t* pszLogsDir, int nLimit);
