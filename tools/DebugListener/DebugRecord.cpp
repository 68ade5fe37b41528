#include "tools/DebugListener/DebugRecord.h"

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
    wchar_t head[64];
    std::swprintf(head, 64, L" %-8ls %5lu %5lu ", DebugLevelName(rec.level).c_str(), rec.pid, rec.tid);
    std::wstring line = rec.time + head + rec.program;
    constexpr size_t PROGRAM_CCH = 15;
    if (rec.program.size() < PROGRAM_CCH)
        line.append(PROGRAM_CCH - rec.program.size(), L' ');
    line += L' ';
    // A message of several lines keeps its column: the following lines are indented to it.
    const std::wstring indent(line.size(), L' ');
    for (size_t i = 0; i < rec.message.size(); i++)
    {
        wchar_t ch = rec.message[i];
        if (ch == L'\r' && i + 1 < rec.message.size() && rec.message[i + 1] == L'\n')
            continue;
        if (ch == L'\n' || ch == L'\r')
        {
            if (i + 1 < rec.message.size())
                line += L"\n" + indent;
            continue;
        }
        line += ch;
    }
    return line;
}
