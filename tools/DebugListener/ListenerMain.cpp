// QvsDebugListener: watches the updater's debug pipe and prints each record as one aligned line.
//   QvsDebugListener.exe [/pipe=NAME] [/level=LEVEL] [/pid=N[,N...]] [/out=FILE [/maxkb=N] [/keep=N]]
//                        [/seconds=N]
// NAME defaults to QVS-Debug. LEVEL (a name such as WARNING or a number such as 22) keeps the
// records of that severity and the more severe ones; /pid= keeps the records of these processes.
// FILE receives the same lines (UTF-8): started afresh, or with /maxkb continued and moved to
// FILE.1 ... FILE.<keep> (default 3) before it grows past N KB. N seconds end the listener
// (default: until it is stopped). Exit codes: 0 ended, 1 pipe not created, 2 bad command line
// or FILE not opened.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "tools/DebugListener/DebugPipeServer.h"
#include "tools/DebugListener/DebugRecord.h"
#include "tools/DebugListener/ListenerFilter.h"
#include "tools/DebugListener/RotatingLog.h"
#include "tools/common/ToolArgs.h"
#include "tools/common/ToolText.h"

namespace
{
bool Number(const wchar_t* text, unsigned long max, unsigned long& value)
{
    if (text == nullptr || *text == L'\0' || wcslen(text) > 9 || wcsspn(text, L"0123456789") != wcslen(text))
        return false;
    value = wcstoul(text, nullptr, 10);
    return value <= max;
}

int BadUse(const wchar_t* what)
{
    fwprintf(stderr,
             L"QvsDebugListener: %ls\n"
             L"usage: QvsDebugListener.exe [/pipe=NAME] [/level=LEVEL] [/pid=N[,N...]]\n"
             L"                            [/out=FILE [/maxkb=N] [/keep=N]] [/seconds=N]\n",
             what);
    return 2;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* pipe = ArgValue(argc, argv, L"/pipe=");
    const wchar_t* out = ArgValue(argc, argv, L"/out=");
    const wchar_t* seconds = ArgValue(argc, argv, L"/seconds=");
    const wchar_t* level = ArgValue(argc, argv, L"/level=");
    const wchar_t* pid = ArgValue(argc, argv, L"/pid=");
    const wchar_t* maxkb = ArgValue(argc, argv, L"/maxkb=");
    const wchar_t* keep = ArgValue(argc, argv, L"/keep=");

    ListenerFilter filter;
    if (level != nullptr && (filter.maxLevel = ParseDebugLevel(level)) == 0)
        return BadUse(L"/level= takes a level name (FATAL ... Trace) or number (11 ... 42)");
    if (pid != nullptr && !ParsePidList(pid, filter.pids))
        return BadUse(L"/pid= takes process ids separated by commas");
    unsigned long ulMaxKb = 0, ulKeep = 3, ulSeconds = 0;
    if (maxkb != nullptr && (!Number(maxkb, 4 * 1024 * 1024, ulMaxKb) || ulMaxKb == 0))
        return BadUse(L"/maxkb= takes a size in KB of 1 or more");
    if (keep != nullptr && (!Number(keep, 99, ulKeep) || ulKeep == 0))
        return BadUse(L"/keep= takes a number of files from 1 to 99");
    if (seconds != nullptr && !Number(seconds, 4000000, ulSeconds))
        return BadUse(L"/seconds= takes a number");
    if ((maxkb != nullptr || keep != nullptr) && out == nullptr)
        return BadUse(L"/maxkb= and /keep= need /out=");

    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    RotatingLog log;
    if (out != nullptr &&
        !log.Open(out, static_cast<unsigned long long>(ulMaxKb) * 1024, static_cast<int>(ulKeep)))
    {
        fwprintf(stderr, L"cannot create %ls (%lu)\n", out, GetLastError());
        return 2;
    }

    std::mutex lock;
    DebugPipeServer server;
    const wchar_t* name = pipe ? pipe : L"QVS-Debug";
    bool started = server.Start(name, 4, [&](const std::wstring& text) {
        DebugRecord rec;
        std::string line;
        if (ParseDebugRecord(text, rec))
        {
            if (!filter.Accepts(rec))
                return;
            line = ToUtf8(FormatDebugRecord(rec)) + "\n";
        }
        else if (filter.maxLevel == 0 && filter.pids.empty())
        {
            line = ToUtf8(text) + "\n"; // not a record: shown as it came, unless filtering
        }
        else
        {
            return;
        }
        std::lock_guard<std::mutex> guard(lock);
        DWORD cb;
        WriteFile(hOut, line.data(), static_cast<DWORD>(line.size()), &cb, nullptr);
        if (out != nullptr)
            log.Write(line);
    });
    if (!started)
    {
        fwprintf(stderr, L"cannot create the pipe (%lu)\n", GetLastError());
        return 1;
    }
    // Callers wait for this line before they start what they want to watch.
    fwprintf(stderr, L"QvsDebugListener: listening on \\\\.\\pipe\\%ls\n", name);
    fflush(stderr); // a file or pipe gets the line now, not when the listener ends
    Sleep(seconds ? ulSeconds * 1000 : INFINITE);
    server.Stop();
    return 0;
}
