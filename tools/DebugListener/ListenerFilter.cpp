#include "tools/DebugListener/ListenerFilter.h"

#include <cwchar>

bool ListenerFilter::Accepts(const DebugRecord& rec) const
{
    if (maxLevel != 0 && rec.level > maxLevel)
        return false;
    if (pids.empty())
        return true;
    for (unsigned long pid : pids)
        if (pid == rec.pid)
            return true;
    return false;
}

int ParseDebugLevel(const std::wstring& text)
{
    static const int levels[] = {11, 12, 13, 21, 22, 31, 32, 41, 42};
    for (int level : levels)
        if (_wcsicmp(text.c_str(), DebugLevelName(level).c_str()) == 0)
            return level;
    if (text.empty() || text.size() > 3 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return 0;
    return static_cast<int>(std::wcstol(text.c_str(), nullptr, 10));
}

bool ParsePidList(const std::wstring& text, std::vector<unsigned long>& pids)
{
    pids.clear();
    size_t start = 0;
    while (start <= text.size())
    {
        size_t comma = text.find(L',', start);
        std::wstring item =
            text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
        if (item.empty() || item.size() > 10 || item.find_first_not_of(L"0123456789") != std::wstring::npos)
            return false;
        pids.push_back(std::wcstoul(item.c_str(), nullptr, 10));
        if (comma == std::wstring::npos)
            break;
        start = comma + 1;
    }
    return !pids.empty();
}
