#pragma once
#include <windows.h>

#include "common/VString.h"

// The rules an archive entry's name must meet before the expander writes it, in one place for
// the expander and the patch builder's verifier.

// Longest stored name the expander reads (its name buffer holds 260 bytes); a longer one needs
// an extra-record path.
constexpr int ZIP_STORED_NAME_MAX_BYTES = 259;
inline bool ZipStoredNameFits(unsigned long long cbName)
{
    return cbName <= static_cast<unsigned long long>(ZIP_STORED_NAME_MAX_BYTES);
}

// A relative path that stays inside the destination: not empty, not rooted, no drive or stream
// colon, no device name (CON, NUL, COM1, "aux.txt", ...), and no component that climbs out.
bool IsSafeEntryRelPath(const wchar_t* pszRel);

// Where the expander writes the entry: the destination, a backslash unless it ends with one,
// the relative path. Its length is what the expander's path-limit check sees.
VString ZipEntryOutputPath(const wchar_t* pszDest, const wchar_t* pszRel);
