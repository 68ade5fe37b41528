#pragma once
#include <string>

// One record as it arrives on the debug pipe: nine fields, each ended by a form feed.
struct DebugRecord
{
    std::wstring program;
    unsigned long pid = 0;
    unsigned long tid = 0;
    std::wstring source;
    unsigned long line = 0;
    int level = 0;
    std::wstring message;
    std::wstring time;
    unsigned long sequence = 0;
};

// Splits the pipe text into its fields; false when it is not a complete record.
bool ParseDebugRecord(const std::wstring& text, DebugRecord& rec);
// Printed name of a level ("FATAL", "Trace", ...) or its number.
std::wstring DebugLevelName(int level);
// One readable line in fixed columns: time, level, pid, tid, program, message (the lines of a
// message of several lines each start at the message column).
std::wstring FormatDebugRecord(const DebugRecord& rec);
