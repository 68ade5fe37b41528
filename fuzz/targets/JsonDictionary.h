#pragma once
#include "fuzz/FuzzHarness.h"

// Tokens of the settings text, as UTF-16.
inline std::vector<lumofuzz::Bytes> JsonDictionary()
{
    std::vector<lumofuzz::Bytes> out;
    for (const wchar_t* psz :
         {L"{",           L"}",   L"[",      L"]",    L"\"", L",",      L":",      L"/*",    L"*/",
          L"//",          L"\\u", L"\\u00",  L"\\\"", L"\\", L"true",   L"null",   L"1e999", L"-",
          L"\"a\" \"b\"", L"\n",  L"\"k\":", L"{\"",  L"[[", L"\uFEFF", L"\\uD800"})
        out.push_back(lumofuzz::Utf16Bytes(psz));
    // A lone surrogate and a zero code unit, which no literal can hold.
    out.push_back(lumofuzz::Utf16Bytes(std::wstring(1, static_cast<wchar_t>(0xD800))));
    out.push_back(lumofuzz::Utf16Bytes(std::wstring(1, L'\0')));
    return out;
}
