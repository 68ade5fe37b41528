#include "DebugRecord.h"

#include <cwchar>
#include <vector>

#include "common/GpTrace.h"

bool ParseDebugRecord(const std::wstring& text, DebugRecord& rec)
{
    std::vector<std::wstring> f;
    size_t start = 0;
    while (f.size() < 9)
    {
        size_t ff = text.find(L'\x0c', start);
        if (ff == std::wstring::npos)
            return false;
        f.push_back(text.substr(start, ff - start));
        start = ff + 1;
    }
    rec.program = f[0];
    rec.pid = std::wcstoul(f[1].c_str(), nullptr, 10);
    rec.tid = std::wcstoul(f[2].c_str(), nullptr, 10);
    rec.source = f[3];
    rec.line = std::wcstoul(f[4].c_str(), nullptr, 10);
    rec.level = static_cast<int>(std::wcstol(f[5].c_str(), nullptr, 10));
    rec.message = f[6];
    rec.time = f[7];
    rec.sequence = std::wcstoul(f[8].c_str(), nullptr, 10);
    return true;
}

std::wstring DebugLevelName(int level)
{
    const wchar_t* name = GpTraceLevelName(level);
    return name ? name : std::to_wstring(level);
}

std::wstring FormatDebugRecord(const DebugRecord& rec)
{
    wchar_t head[128];
    std::swprintf(head, 128, L" %-8ls %5lu %5lu ", DebugLevelName(rec.level).c_str(), rec.pid, rec.tid);
    return rec.time + head + rec.program + L" " + rec.message;
}
