#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "fuzz/FuzzHarness.h"

// A ZIP archive taken apart into entries and put together again with consistent offsets, so
// that a mutation of a header field, a name, an extra field or the data reaches the reader
// instead of failing the directory walk.
namespace lumofuzz
{
struct ZipFields
{
    uint32_t verNeed = 20, flags = 0, method = 0, time = 0, date = 0x21, crc = 0, csize = 0, usize = 0;
};

struct ZipEntryModel
{
    ZipFields local;
    ZipFields central;
    uint32_t verMade = 20, diskStart = 0, intAttr = 0, extAttr = 0;
    Bytes localName, centralName;
    Bytes localExtra, centralExtra, comment;
    Bytes data; // as stored (compressed when method 8)
};

struct ZipModel
{
    std::vector<ZipEntryModel> entries;
    Bytes comment;
    // EOCD overrides (kept when negative): entry counts, directory size and offset.
    int64_t countOverride = -1, sizeOverride = -1, offsetOverride = -1;
};

bool ParseZip(const Bytes& zip, ZipModel& model);
Bytes SerializeZip(const ZipModel& model);

// Stored data of an entry replaced by plain, compressed or stored, with CRC and sizes to match.
void SetEntryPlain(ZipEntryModel& e, const Bytes& plain, bool bCompress);
// The entry's plain data, or false when it cannot be had (bounded to maxOut bytes).
bool GetEntryPlain(const ZipEntryModel& e, Bytes& plain, size_t maxOut);

// The structure-aware variant over a seed archive; a blind mutation when it does not parse.
Bytes MutateZip(Rng& rng, const Bytes& base, const std::vector<Bytes>& corpus, const MutatorOptions& blind);

// Names that try to leave the destination or confuse the path code.
const std::vector<std::wstring>& HostileNames();
} // namespace lumofuzz
