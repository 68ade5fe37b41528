#pragma once
#include <windows.h>

#include "common/VString.h"

// Where the client keeps its pending logs: nine folders under "<common app data>\TAVR\QVC\Logs\".
constexpr int QVC_LOG_FOLDER_COUNT = 9;

// Name of log folder i (0 to 8), in counting order; null outside that range.
const wchar_t* QvcLogFolderName(int i);

// The file whose creation in the first log folder nudges the client's log sender.
extern const wchar_t* const QVC_LOG_TRIGGER_NAME;

// Fills strLogsDir with the logs folder (ending with a backslash); returns the result of the
// folder query (S_OK on success, strLogsDir untouched otherwise).
HRESULT GetQvcLogsDir(VString& strLogsDir);
