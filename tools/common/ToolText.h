#pragma once
// Text output of the companion programs.
#include <windows.h>

#include <string>

std::string ToUtf8(const std::wstring& text);
// Writes text to a console as it is (UTF-16) or, redirected to a file or pipe, as UTF-8.
// dwStd: STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
void ConsolePrint(DWORD dwStd, const std::wstring& text);
// Always UTF-8, console or not: for output that scripts and tests read byte for byte.
void PrintUtf8(DWORD dwStd, const std::wstring& text);
