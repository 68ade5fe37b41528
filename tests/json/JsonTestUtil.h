#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "json/JsonFile.h"

namespace jsontest
{
// JsonFile's answers besides 1: a failure, and text the parser refuses (the header names neither).
constexpr int kJsonFailed = -3;
constexpr int kJsonTextRefused = -406;

// Compact form of a model for comparisons: {a:1,s:"x",l:[1,2],o:{}}; an unset value is "?".
std::wstring Dump(const JsonObjectT& obj);
std::wstring Dump(const JsonValueT* pValue);

// Parses text into a fresh document held by the caller.
int ParseInto(JsonFile& doc, const std::wstring& text);

// The writer's text of a document's root.
std::wstring WriteText(JsonFile& doc);

// The decrypted text of a container file (up to its first zero character), through JsonFile's own
// container; "<unreadable>" when it cannot be read.
std::wstring DecryptedText(const std::wstring& path);
// All decrypted bytes of a container file (with the padding); empty when it cannot be read.
std::string DecryptedData(const std::wstring& path);
// Stores text as it stands (no writer layout) in a container file, as another writer would.
bool WriteEncryptedText(const std::wstring& path, const std::wstring& text);

// Trace messages emitted while fn runs (this test program's own pipe).
std::vector<std::wstring> Traced(const std::function<void()>& fn);
bool AnyContains(const std::vector<std::wstring>& messages, const std::wstring& text);
} // namespace jsontest
