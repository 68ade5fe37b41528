#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "json/JsonFile.h"

namespace jsontest
{
// Compact form of a model for comparisons: {a:1,s:"x",l:[1,2],o:{}}; an unset value is "?".
std::wstring Dump(const JsonObjectT& obj);
std::wstring Dump(const JsonValueT* pValue);

// Parses text into a fresh document held by the caller.
int ParseInto(JsonFile& doc, const std::wstring& text);

// The writer's text of a document's root.
std::wstring WriteText(JsonFile& doc);

// Trace messages emitted while fn runs (this test program's own pipe).
std::vector<std::wstring> Traced(const std::function<void()>& fn);
bool AnyContains(const std::vector<std::wstring>& messages, const std::wstring& text);
} // namespace jsontest
