#include "tools/common/ToolText.h"

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int cb = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                 nullptr);
    std::string utf8(cb > 0 ? static_cast<size_t>(cb) : 0, '\0');
    if (cb > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], cb, nullptr,
                            nullptr);
    return utf8;
}

void PrintUtf8(DWORD dwStd, const std::wstring& text)
{
    HANDLE hOut = GetStdHandle(dwStd);
    if (hOut == nullptr || hOut == INVALID_HANDLE_VALUE || text.empty())
        return;
    std::string utf8 = ToUtf8(text);
    DWORD cbDone = 0;
    WriteFile(hOut, utf8.data(), static_cast<DWORD>(utf8.size()), &cbDone, nullptr);
}

void ConsolePrint(DWORD dwStd, const std::wstring& text)
{
    HANDLE hOut = GetStdHandle(dwStd);
    if (hOut == nullptr || hOut == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD dwMode = 0;
    DWORD cchDone = 0;
    if (GetConsoleMode(hOut, &dwMode))
        WriteConsoleW(hOut, text.data(), static_cast<DWORD>(text.size()), &cchDone, nullptr);
    else
        PrintUtf8(dwStd, text);
}
