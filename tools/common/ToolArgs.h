#pragma once
// Command-line options of the companion programs: "/name=value" switches, matched without case.
#include <windows.h>

// The value of the first argument that starts with prefix ("/log="), or null; argv[0] is skipped.
const wchar_t* ArgValue(int argc, wchar_t** argv, const wchar_t* prefix);
// The value of arg when it starts with prefix, or null.
const wchar_t* ArgPrefixValue(const wchar_t* arg, const wchar_t* prefix);
