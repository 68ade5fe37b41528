#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "zip.h"

// Archives for the tests, written with the library's own zip writer.
namespace ziptest
{
struct Entry
{
    std::string name; // stored name, ANSI, "/" separated
    std::string data; // uncompressed data
    DWORD externalAttr = FILE_ATTRIBUTE_ARCHIVE;
    std::string localExtra;                  // whole local extra field
    tm_zip date = {10, 30, 20, 15, 0, 2021}; // 2021-01-15 20:30:10
    int method = Z_DEFLATED;
    // Stored raw and closed with a CRC that does not match the data, or with a size beyond them.
    bool badCrc = false;
    unsigned sizeBeyond = 0;
    // Stored raw and closed claiming this uncompressed size (zip64 from 4 GiB on), as a
    // decompression bomb's header does.
    unsigned long long claimedSize = 0;
};

inline Entry Folder(const std::string& name, DWORD attr = FILE_ATTRIBUTE_DIRECTORY)
{
    Entry e;
    e.name = name;
    e.externalAttr = attr;
    return e;
}

inline Entry File(const std::string& name, const std::string& data)
{
    Entry e;
    e.name = name;
    e.data = data;
    return e;
}

// Writes the archive; false when the writer failed.
bool WriteArchive(const std::wstring& path, const std::vector<Entry>& entries);

// A "ZExL" record: header fields as given, then the UTF-16 units of path (no terminator added).
std::string ExtraRecord(const std::wstring& path, int version = 1, int sizeAdjust = 0,
                        int lengthOverride = -1);

// An extended-timestamp block, as other zip tools write it.
std::string TimestampBlock();
} // namespace ziptest
