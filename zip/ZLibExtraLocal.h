#pragma once
#include <windows.h>

#include "common/GpHandles.h"
#include "common/VString.h"
#include "unzip.h"

// "ZExL\0" record: the whole local extra field of an entry carries the entry's relative path as
// UTF-16, since stored names are limited to the ANSI code page. Little-endian layout:
//   0  magic "ZExL\0" (5)   5  field size (4)   9  version (1)   10  unused (3)
//   13 path length in code units (2, 1..32000)   15  path, UTF-16LE, ends at its first NUL
#define ZEX_MAGICNAME "ZExL"

class ZLibExtraLocal
{
public:
    ZLibExtraLocal() = default;
    ZLibExtraLocal(const ZLibExtraLocal&) = delete;
    ZLibExtraLocal& operator=(const ZLibExtraLocal&) = delete;

    // Reads the record of the entry currently open for reading.
    // 37: RelPath holds the record's path; 35: no field, or not a usable version-1 record
    // (RelPath unchanged); negative: reading the field or allocating failed.
    int LoadStream(unzFile uf);

    BYTE m_nVersion = 1;
    VString RelPath;

private:
    GpHeapBlock m_pRaw;
};
