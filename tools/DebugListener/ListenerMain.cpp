// QvsDebugListener: watches the updater's debug pipe and prints each record as one line.
//   QvsDebugListener.exe [/pipe=NAME] [/out=FILE] [/seconds=N]
// NAME defaults to QVS-Debug; FILE receives the same lines (UTF-8); N ends the listener after
// N seconds (default: until it is stopped). Says "listening on <pipe>" on stderr once records
// can arrive.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "DebugPipeServer.h"
#include "DebugRecord.h"

namespace
{
std::string ToUtf8(const std::wstring& w)
{
    int n =
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

const wchar_t* ArgValue(int argc, wchar_t** argv, const wchar_t* prefix)
{
    size_t n = wcslen(prefix);
    for (int i = 1; i < argc; i++)
        if (_wcsnicmp(argv[i], prefix, n) == 0)
            return argv[i] + n;
    return nullptr;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* pipe = ArgValue(argc, argv, L"/pipe=");
    const wchar_t* out = ArgValue(argc, argv, L"/out=");
    const wchar_t* seconds = ArgValue(argc, argv, L"/seconds=");

    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE hFile = INVALID_HANDLE_VALUE;
    if (out != nullptr)
    {
        hFile = CreateFileW(out, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE)
        {
            fwprintf(stderr, L"cannot create %ls (%lu)\n", out, GetLastError());
            return 2;
        }
    }

    std::mutex lock;
    DebugPipeServer server;
    const wchar_t* name = pipe ? pipe : L"QVS-Debug";
    bool started = server.Start(name, 4, [&](const std::wstring& text) {
        DebugRecord rec;
        std::string line = ToUtf8(ParseDebugRecord(text, rec) ? FormatDebugRecord(rec) : text) + "\n";
        std::lock_guard<std::mutex> guard(lock);
        DWORD cb;
        WriteFile(hOut, line.data(), static_cast<DWORD>(line.size()), &cb, nullptr);
        if (hFile != INVALID_HANDLE_VALUE)
            WriteFile(hFile, line.data(), static_cast<DWORD>(line.size()), &cb, nullptr);
    });
    if (!started)
    {
        fwprintf(stderr, L"cannot create the pipe (%lu)\n", GetLastError());
        return 1;
    }
    fwprintf(stderr, L"listening on \\\\.\\pipe\\%ls\n", name);
    fflush(stderr); // a file or pipe gets the line now, not when the listener ends
    Sleep(seconds ? static_cast<DWORD>(_wtoi(seconds)) * 1000 : INFINITE);
    server.Stop();
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return 0;
}
