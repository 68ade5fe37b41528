#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Longest relative path a record may carry, in UTF-16 code units with its terminator.
constexpr size_t ZEXL_MAX_UNITS = 32000;

// The whole local extra field of an entry that carries its relative path (backslash-separated)
// as UTF-16: "ZExL\0", field size, version 1, three spare bytes, unit count, the units with
// the terminating NUL. Empty when the path does not fit a record.
std::vector<BYTE> MakeZexlRecord(const std::wstring& relPath);
