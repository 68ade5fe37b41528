#pragma once
#include <windows.h>

// Where an archive's central directory lies, as its end record states it: offsets counted as the
// unzip library counts them (unzGetOffset64), from the start of the archive proper.
struct ZipCentralDir
{
    ULONGLONG ullOffset = 0;
    ULONGLONG ullSize = 0;
    ULONGLONG End() const { return ullOffset + ullSize; }
};

// The archive could not be read back or has no end record the library would take.
constexpr int ZEXP_ERR_END_RECORD = -816;

// Reads the end record (the zip64 one where the library takes it) through the archive's own file
// functions, finding it the way the library does. ERROR_OK or ZEXP_ERR_END_RECORD (traced).
int ReadZipCentralDir(const wchar_t* pszArchive, ZipCentralDir& dir);
