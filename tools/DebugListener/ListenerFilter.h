#pragma once
#include <string>
#include <vector>

#include "tools/DebugListener/DebugRecord.h"

// Which records an administrator wants to see: those at or above a severity (a lower level
// number is more severe) and, when pids are named, only those of these processes.
struct ListenerFilter
{
    int maxLevel = 0; // 0: every level
    std::vector<unsigned long> pids;

    bool Accepts(const DebugRecord& rec) const;
};

// A level as written after /level=: a name ("WARNING", "trace") or a number (22). 0 when it is
// neither.
int ParseDebugLevel(const std::wstring& text);
// A list of process ids after /pid= ("364" or "364,1180"); false when any item is not a number.
bool ParsePidList(const std::wstring& text, std::vector<unsigned long>& pids);
