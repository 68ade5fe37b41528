#pragma once
#include <windows.h>

// Path and file helpers shared by the road steps. Results: ERROR_OK (37), ERROR_NON (35),
// Windows error codes, or negative codes of their own.

// ERROR_OK within the limit (259 characters, 31 999 with the "\\?\" prefix), 206 beyond, 161 for
// a null or empty path.
int CheckPathLimit(const wchar_t* pszPath);

// Size of the named file from its attribute data, without opening it. False on failure (last
// error kept).
bool GetFileSize64(const wchar_t* pszPath, ULONGLONG& ullSize);

// New position (dwOrigin FILE_BEGIN, FILE_CURRENT or FILE_END), or -1 (last error kept).
LONGLONG Seek64(HANDLE hFile, LONGLONG llDistance, DWORD dwOrigin);

// Creates every missing folder up to and including the last backslash of pszPath (what follows
// it is a file name): ERROR_OK when created, ERROR_NON when there was nothing to create. Knows
// the "\\?\", "\\?\UNC\" and "\\pc\share\" forms and never creates a root or a share.
int MakeSubDir(const wchar_t* pszPath);

// Deletes the file, or the folder with its contents, without any UI and without the recycle bin.
// A link (junction, symbolic link), named or met inside the folder, is removed as a link: what it
// points to is never entered. ERROR_OK, ERROR_NON for a null or empty path, or the first Windows
// error met (also the thread's last error); what can be deleted after an error still is.
int ShDelete(const wchar_t* pszPath);

// Gives pszTo the owner, group and access list of pszFrom (the access list alone where the owner
// cannot be taken over), so that a file replacing another keeps the access the old one gave.
void CopyFileSecurity(const wchar_t* pszFrom, const wchar_t* pszTo);
