#pragma once
#include <windows.h>

// Path limit check and folder creation used by the expansion.
namespace zippath
{
// ERROR_OK within the limit (259 characters, 31 999 with the "\\?\" prefix), 206 beyond, 161 for
// a null or empty path.
int CheckPathLimit(const wchar_t* pszPath);
// Creates every missing folder up to the last backslash of pszPath: ERROR_OK when created,
// ERROR_NON when the folder existed, else an error code.
int MakeSubDir(const wchar_t* pszPath);
} // namespace zippath
