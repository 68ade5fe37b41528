#pragma once
#include <windows.h>

#include <string>

// Text helpers of the patch builder.
std::wstring BuilderWide(const std::string& ansi);
// Wide text in the ANSI code page; bLossless false when a character has no form there.
std::string BuilderAnsi(const std::wstring& text, bool& bLossless);
std::string BuilderUtf8(const std::wstring& text);
std::wstring BuilderErrorText(DWORD dwError);
// Text for a double-quoted XML attribute value.
std::wstring XmlAttributeText(const std::wstring& text);
std::wstring HexText(const BYTE* p, size_t cb);
// Writes text to the console (UTF-16) or, redirected, as UTF-8: stdout, or stderr for errors.
void BuilderPrint(bool bError, const std::wstring& text);
