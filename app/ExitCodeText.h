#pragma once
#include <cstddef>

// The tool's failure text for an exit code, with the extended information filled in where the
// text has a place for it. Codes outside 1 to 9 get the text of code 10.
void ExitCodeText(int nExitCode, int nExtInfo, wchar_t* pBuf, size_t cchBuf);
