#pragma once
#include <windows.h>

#include "unzip.h"
#include "zip/ZipCentralDir.h"

// Expands every entry of a ZIP archive into a destination folder (created as needed), with the
// folder tree, file data, folder attributes and file last-write times. An entry's "ZExL" extra
// record (ZLibExtraLocal) takes the place of its stored name.
//
// Results: ERROR_OK (37) when every entry was expanded; otherwise the first failing entry's
// result, a Windows error code (2 missing archive, 206 path too long, 80 output file exists, ...)
// or a negative code of the step that failed. Codes of the checks that guard the destination:
//   ZEXP_ERR_UNSAFE_PATH   -664  the entry's path is absolute, has a drive letter, a "\\?\" or
//                                network prefix, a ".." component, a colon or a device name
//                                (CON, NUL, COM1, ...), or is empty: it would write outside the
//                                destination (the agent writes with system rights)
//   ZEXP_ERR_NAME_TOO_LONG -626  stored name of 260 bytes or more and no extra-record path
//   ZEXP_ERR_CRC           -606  the entry's data do not match its stored CRC
//   ZEXP_ERR_SIZE          -607  the entry's data are shorter than its stored size
//   ERROR_DISK_FULL        112   the entry claims more than the destination's volume has free
//                                (a decompression bomb is refused before it fills the disk)
//   ZEXP_ERR_DIRECTORY     -815  the entry walk stopped before the end of the central directory
//                                (a damaged record), or a record runs past the directory: the
//                                entries after it would silently be missing
//   ZEXP_ERR_END_RECORD    -816  the directory's bounds could not be read from the end record
// A file whose data could not be written whole (CRC or size check, a failed read or write, a
// full disk) is deleted: no cut file stays under the entry's name. Other failures leave what was
// written.
constexpr int ZEXP_ERR_UNSAFE_PATH = -664;
constexpr int ZEXP_ERR_NAME_TOO_LONG = -626;
constexpr int ZEXP_ERR_CRC = -606;
constexpr int ZEXP_ERR_SIZE = -607;
constexpr int ZEXP_ERR_DIRECTORY = -815;

// Whole archive: both paths wide and null-terminated.
int ZLibExpand(const wchar_t* pszArchive, const wchar_t* pszDest);
// Entry loop over an archive opened with unzOpen2_64. The walk must end exactly where pDir says the
// directory ends; without pDir only a counted walk can end normally (a 0xFFFF count then fails).
int Expand(unzFile uf, const wchar_t* pszDest, const ZipCentralDir* pDir = nullptr);
// The archive's current entry.
int ExpandFile(unzFile uf, const wchar_t* pszDest);
