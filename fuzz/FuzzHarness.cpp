#include "fuzz/FuzzHarness.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <map>
#include <set>
#include <thread>

#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"

namespace lumofuzz
{
namespace
{
// What the fault handlers need without allocating: the running input and where to save it.
struct Running
{
    const char* target = "";
    uint64_t seed = 0;
    std::atomic<uint64_t> iteration{0};
    std::atomic<ULONGLONG> startTick{0}; // 0 while no input runs
    std::atomic<const Bytes*> input{nullptr};
    wchar_t crashDir[MAX_PATH] = L"";
    DWORD hangMs = 20000;
    std::atomic<bool> stop{false};
};
Running g_run;
LONG volatile g_faulting = 0;

// Saves the running input as crashes\<target>-<kind>-s<seed>-i<iteration>.bin and ends the process.
[[noreturn]] void ReportAndExit(const char* kind, const char* detail, UINT exitCode)
{
    if (InterlockedExchange(&g_faulting, 1) != 0)
        TerminateProcess(GetCurrentProcess(), exitCode); // a second fault while reporting
    uint64_t it = g_run.iteration.load();
    wchar_t szPath[MAX_PATH + 128];
    wsprintfW(szPath, L"%s\\%S-%S-s%I64u-i%I64u.bin", g_run.crashDir, g_run.target, kind, g_run.seed, it);
    const Bytes* pInput = g_run.input.load();
    {
        // Closed before the process is ended below: destructors do not run after that.
        GpFile file(CreateFileW(szPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD cb = 0;
        if (file && pInput != nullptr && !pInput->empty())
            WriteFile(file.Get(), pInput->data(), static_cast<DWORD>(pInput->size()), &cb, nullptr);
    }
    char szLine[1024];
    wsprintfA(szLine, "FUZZ FAULT %s target=%s seed=%I64u iteration=%I64u %s\r\n  input saved: %S\r\n", kind,
              g_run.target, g_run.seed, it, detail, szPath);
    DWORD cb = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), szLine, lstrlenA(szLine), &cb, nullptr);
    TerminateProcess(GetCurrentProcess(), exitCode);
    for (;;)
        Sleep(INFINITE);
}

bool IsFatalCode(DWORD code)
{
    switch (code)
    {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case 0xC0000374: // heap corruption
    case 0xC0000409: // stack buffer overrun
        return true;
    default:
        return false;
    }
}

// Wine's own libraries probe memory and handle the fault themselves: an access violation counts
// when it happens in our program or in the C runtime it calls (memcpy and the like).
bool FaultIsOurs(const EXCEPTION_RECORD* rec)
{
    if (rec->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return true;
    HMODULE hMod = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(rec->ExceptionAddress), &hMod))
        return true; // no module at all: a wild jump
    if (hMod == GetModuleHandleW(nullptr))
        return true;
    return hMod == GetModuleHandleW(L"msvcrt.dll") || hMod == GetModuleHandleW(L"ucrtbase.dll");
}

LONG CALLBACK FaultHandler(EXCEPTION_POINTERS* pInfo)
{
    const EXCEPTION_RECORD* rec = pInfo->ExceptionRecord;
    if (!IsFatalCode(rec->ExceptionCode) || !FaultIsOurs(rec))
        return EXCEPTION_CONTINUE_SEARCH;
    char szDetail[160];
    wsprintfA(szDetail, "code=0x%08lX at=%p", rec->ExceptionCode, rec->ExceptionAddress);
    ReportAndExit("crash", szDetail, 3);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* pInfo)
{
    char szDetail[160];
    wsprintfA(szDetail, "unhandled code=0x%08lX at=%p", pInfo->ExceptionRecord->ExceptionCode,
              pInfo->ExceptionRecord->ExceptionAddress);
    ReportAndExit("crash", szDetail, 3);
}

void OnTerminate()
{
    ReportAndExit("crash", "an exception escaped the target (std::terminate)", 3);
}

void Watchdog()
{
    while (!g_run.stop.load())
    {
        Sleep(100);
        ULONGLONG start = g_run.startTick.load();
        if (start != 0 && GetTickCount64() - start > g_run.hangMs)
        {
            char szDetail[64];
            wsprintfA(szDetail, "no end after %lu ms", g_run.hangMs);
            ReportAndExit("hang", szDetail, 4);
        }
    }
}

// Every heap of the process: the runtime keeps its own beside the process heap.
bool HeapsValid()
{
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < n && i < 64; i++)
    {
        if (!HeapValidate(heaps[i], 0, nullptr))
            return false;
    }
    return true;
}

SIZE_T PrivateUsage()
{
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof(pmc);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc),
                              sizeof(pmc)))
        return 0;
    // Wine 8 leaves PrivateUsage at 0; the commit charge it does report is the same quantity.
    return pmc.PrivateUsage != 0 ? pmc.PrivateUsage : pmc.PagefileUsage;
}

// Busy blocks of every heap: a leak of one small block per input shows here long before it
// shows in the commit charge.
size_t BusyBlocks()
{
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    size_t nBusy = 0;
    for (DWORD i = 0; i < n && i < 64; i++)
    {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
        {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                nBusy++;
        }
        HeapUnlock(heaps[i]);
    }
    return nBusy;
}

struct MemoryMark
{
    SIZE_T commit = 0;
    size_t blocks = 0;
    DWORD handles = 0;
};

MemoryMark Measure()
{
    MemoryMark m;
    m.commit = PrivateUsage();
    m.blocks = BusyBlocks();
    GetProcessHandleCount(GetCurrentProcess(), &m.handles);
    return m;
}

// With Wine's heap checking on, freed blocks are held back (up to 1024 of them) before they are
// reused: the commit charge then moves by megabytes without a leak, the block count by 1024 at most.
bool HeapCheckingOn()
{
    wchar_t sz[256] = L"";
    GetEnvironmentVariableW(L"WINEDEBUG", sz, 256);
    return wcsstr(sz, L"heap") != nullptr;
}

std::wstring DefaultCrashDir()
{
    // The programs live in <build>\bin; crashes go to <build>\fuzz\crashes.
    wchar_t sz[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring path(sz, n);
    for (int i = 0; i < 2; i++)
    {
        size_t cut = path.find_last_of(L"\\/");
        path = cut == std::wstring::npos ? L"." : path.substr(0, cut);
    }
    return path + L"\\fuzz\\crashes";
}

void MakeDirs(const std::wstring& path)
{
    for (size_t i = 3; i <= path.size(); i++)
    {
        if (i == path.size() || path[i] == L'\\' || path[i] == L'/')
            CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
}

void Print(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    vfprintf(stdout, pszFormat, args);
    va_end(args);
    fflush(stdout);
}

// Faults of the kinds the checks look for, on purpose.
void InjectFault(const std::wstring& kind)
{
    if (kind == L"crash")
        *static_cast<volatile int*>(nullptr) = 1;
    else if (kind == L"hang")
        Sleep(INFINITE);
    else if (kind == L"leak")
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 65536);
    else if (kind == L"outside") // beside the destination of the expansion targets
        WriteWholeFile(ScratchRoot() + L"\\escaped.txt", "x");
    else if (kind == L"heap")
    {
        // Writes over the header of the block that follows.
        static BYTE* s_p = nullptr;
        if (s_p == nullptr)
        {
            s_p = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, 32));
            HeapAlloc(GetProcessHeap(), 0, 32);
            memset(s_p, 0xCC, 80);
        }
    }
}

// Saves an input that failed a check that does not end the process by itself.
void ReportCheck(const char* kind, const std::string& why)
{
    ReportAndExit(kind, why.c_str(), 5);
}
} // namespace

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    int nPositional = 0;
    for (int i = 1; i < argc; i++)
    {
        std::wstring a = argv[i];
        if (a == L"--replay" && i + 1 < argc)
            options.replay = argv[++i];
        else if (a == L"--crashes" && i + 1 < argc)
            options.crashDir = argv[++i];
        else if (a == L"--hang-ms" && i + 1 < argc)
            options.hangMs = static_cast<DWORD>(_wcstoui64(argv[++i], nullptr, 10));
        else if (a == L"--inject" && i + 1 < argc)
            options.inject = argv[++i];
        else if (a == L"--leak-window" && i + 1 < argc)
            options.leakWindow = _wcstoui64(argv[++i], nullptr, 10);
        else if (!a.empty() && a[0] != L'-' && nPositional == 0 && ++nPositional)
            options.count = _wcstoui64(a.c_str(), nullptr, 10);
        else if (!a.empty() && a[0] != L'-' && nPositional == 1 && ++nPositional)
            options.seed = _wcstoui64(a.c_str(), nullptr, 10);
        else
        {
            fprintf(
                stderr,
                "usage: %S [COUNT] [SEED] [--replay FILE] [--crashes DIR] [--leak-window N] [--hang-ms N] "
                "[--inject crash|hang|heap|leak|outside]\n",
                argv[0]);
            return false;
        }
    }
    if (options.crashDir.empty())
        options.crashDir = DefaultCrashDir();
    if (options.leakWindow == 0)
        options.leakWindow = 10000;
    return true;
}

void PrepareProcess()
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Traces are formatted as usual (their formatting meets the hostile text too) but not sent.
    GpTraceControl(-4, 0, nullptr);
    GpTraceControl(-3, 0, nullptr);
    GpSeam().SleepFn = [](DWORD) {};
    GpSeam().WaitForObjectFn = [](HANDLE, DWORD) -> DWORD { return WAIT_TIMEOUT; };
    GpSeam().MessageBoxFn = [](HWND, const wchar_t*, const wchar_t*, UINT) { return IDCANCEL; };
    GpSeam().ExitWindowsFn = [](UINT, DWORD) { return FALSE; };
}

int Run(Target& target, const Options& options)
{
    g_run.target = target.name.c_str();
    g_run.seed = options.seed;
    g_run.hangMs = options.hangMs != 0 ? options.hangMs : target.hangMs;
    lstrcpynW(g_run.crashDir, options.crashDir.c_str(), MAX_PATH);
    MakeDirs(options.crashDir);
    AddVectoredExceptionHandler(1, FaultHandler);
    SetUnhandledExceptionFilter(UnhandledFilter);
    std::set_terminate(OnTerminate);
    std::thread watchdog(Watchdog);

    auto runOne = [&](const Bytes& input, uint64_t it) -> int {
        g_run.iteration = it;
        g_run.input = &input;
        g_run.startTick = GetTickCount64();
        int rc = target.run(input);
        if (it >= 3 && !options.inject.empty())
            InjectFault(options.inject);
        g_run.startTick = 0;
        if (!HeapsValid())
            ReportCheck("heap", "HeapValidate failed after the input");
        std::string why;
        if (target.checkOutside && !target.checkOutside(why))
            ReportCheck("outside", why);
        return rc;
    };

    if (!options.replay.empty())
    {
        Bytes input = ReadWholeFile(options.replay);
        int rc = runOne(input, 0);
        Print("fuzz %s: replay of %S (%u bytes) passed, result %d\n", g_run.target, options.replay.c_str(),
              static_cast<unsigned>(input.size()), rc);
        g_run.stop = true;
        watchdog.join();
        return 0;
    }

    std::vector<Bytes> corpus = target.seeds;
    if (corpus.empty())
        corpus.push_back(Bytes());
    const size_t nSeeds = corpus.size();
    std::set<int> outcomes;
    std::map<int, uint64_t> histogram;
    Rng rng(options.seed * 0x2545F4914F6CDD1DULL + 0x1234567ULL);

    ULONGLONG t0 = GetTickCount64();
    // The seeds themselves first: the writers' own output must pass.
    for (size_t i = 0; i < nSeeds; i++)
        outcomes.insert(runOne(corpus[i], 0));

    // Memory is compared window by window after a warm-up (caches, first allocations).
    const uint64_t warmup = std::min<uint64_t>(1000, options.count / 10);
    const SIZE_T commitBound = (HeapCheckingOn() ? 64 * 1024 : options.leakBoundKiB) * 1024;
    const size_t blockBound = 2000;
    const DWORD handleBound = 64;
    MemoryMark base;
    SIZE_T peakGrowth = 0;
    uint64_t windowStart = warmup;
    for (uint64_t it = 1; it <= options.count; it++)
    {
        const Bytes& from = corpus[rng.Below(corpus.size())];
        Bytes input = (target.structured && rng.OneIn(2)) ? target.structured(rng, from, corpus)
                                                          : Mutate(rng, from, corpus, target.mutator);
        if (input.size() > target.mutator.maxLen)
            input.resize(target.mutator.maxLen);
        int rc = runOne(input, it);
        histogram[rc]++;
        // An input that reaches an outcome not seen before is worth mutating further.
        if (outcomes.insert(rc).second && corpus.size() < 512)
            corpus.push_back(input);

        if (it == warmup)
            base = Measure();
        bool bWindowEnd = it > warmup && (it - windowStart == options.leakWindow || it == options.count);
        if (bWindowEnd && base.commit != 0)
        {
            MemoryMark now = Measure();
            SIZE_T growth = now.commit > base.commit ? now.commit - base.commit : 0;
            size_t blocks = now.blocks > base.blocks ? now.blocks - base.blocks : 0;
            DWORD handles = now.handles > base.handles ? now.handles - base.handles : 0;
            peakGrowth = std::max(peakGrowth, growth);
            std::string range = " over inputs " + std::to_string(windowStart) + ".." + std::to_string(it);
            if (growth > commitBound)
                ReportCheck("leak",
                            "private memory grew by " + std::to_string(growth / 1024) + " KiB" + range);
            if (blocks > blockBound)
                ReportCheck("leak", "busy heap blocks grew by " + std::to_string(blocks) + range);
            if (handles > handleBound)
                ReportCheck("leak", "open handles grew by " + std::to_string(handles) + range);
            base = now;
            windowStart = it;
        }
        if (it % 10000 == 0)
            Print("fuzz %s: %llu inputs, corpus %u, %.1f s\n", g_run.target,
                  static_cast<unsigned long long>(it), static_cast<unsigned>(corpus.size()),
                  (GetTickCount64() - t0) / 1000.0);
    }
    g_run.stop = true;
    watchdog.join();
    // How far the inputs got: result codes of the target, most frequent first.
    std::vector<std::pair<uint64_t, int>> byCount;
    for (const auto& kv : histogram)
        byCount.push_back({kv.second, kv.first});
    std::sort(byCount.rbegin(), byCount.rend());
    std::string line;
    for (size_t i = 0; i < byCount.size() && i < 16; i++)
        line += " " + std::to_string(byCount[i].second) + ":" + std::to_string(byCount[i].first);
    Print("fuzz %s: results (code:inputs)%s\n", g_run.target, line.c_str());
    Print("fuzz %s: inputs=%llu seed=%llu crashes=0 hangs=0 outside=0 heap=0 leaks=0 "
          "corpus=%u outcomes=%u max-window-growth=%u KiB time=%.1f s\n",
          g_run.target, static_cast<unsigned long long>(options.count),
          static_cast<unsigned long long>(options.seed), static_cast<unsigned>(corpus.size()),
          static_cast<unsigned>(outcomes.size()), static_cast<unsigned>(peakGrowth / 1024),
          (GetTickCount64() - t0) / 1000.0);
    return 0;
}

std::wstring ScratchRoot()
{
    static std::wstring s_root;
    if (s_root.empty())
    {
        wchar_t szTemp[MAX_PATH];
        GetTempPathW(MAX_PATH, szTemp);
        // A run that ended on a fault leaves its folder behind: gone once its process is.
        WIN32_FIND_DATAW fd;
        GpFind find(FindFirstFileW((std::wstring(szTemp) + L"lumofuzz-*").c_str(), &fd));
        if (find)
        {
            do
            {
                DWORD pid = wcstoul(fd.cFileName + 9, nullptr, 10);
                GpKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
                if (!process)
                    RemoveTree(std::wstring(szTemp) + fd.cFileName);
            } while (FindNextFileW(find.Get(), &fd));
        }
        wchar_t szName[MAX_PATH + 64];
        wsprintfW(szName, L"%slumofuzz-%lu", szTemp, GetCurrentProcessId());
        s_root = szName;
        RemoveTree(s_root);
        CreateDirectoryW(s_root.c_str(), nullptr);
    }
    return s_root;
}

bool WriteWholeFile(const std::wstring& path, const Bytes& bytes)
{
    GpFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD cb = 0;
    return bytes.empty() ||
           (WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr) &&
            cb == bytes.size());
}

Bytes ReadWholeFile(const std::wstring& path)
{
    GpFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    Bytes out;
    if (!file)
        return out;
    char buf[65536];
    DWORD cb = 0;
    while (ReadFile(file.Get(), buf, sizeof(buf), &cb, nullptr) && cb > 0)
        out.append(buf, cb);
    return out;
}

void RemoveTree(const std::wstring& path)
{
    DWORD dwAttr = GetFileAttributesW(path.c_str());
    if (dwAttr == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(dwAttr & FILE_ATTRIBUTE_DIRECTORY))
    {
        DeleteFileW(path.c_str());
        return;
    }
    if (!(dwAttr & FILE_ATTRIBUTE_REPARSE_POINT))
    {
        WIN32_FIND_DATAW fd;
        GpFind find(FindFirstFileW((path + L"\\*").c_str(), &fd));
        if (find)
        {
            do
            {
                std::wstring name = fd.cFileName;
                if (name != L"." && name != L"..")
                    RemoveTree(path + L"\\" + name);
            } while (FindNextFileW(find.Get(), &fd));
        }
    }
    RemoveDirectoryW(path.c_str());
}

std::vector<std::wstring> ListTree(const std::wstring& path, const std::vector<std::wstring>& skip)
{
    std::vector<std::wstring> out;
    std::vector<std::wstring> pending{path};
    while (!pending.empty())
    {
        std::wstring dir = pending.back();
        pending.pop_back();
        WIN32_FIND_DATAW fd;
        GpFind find(FindFirstFileW((dir + L"\\*").c_str(), &fd));
        if (!find)
            continue;
        do
        {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = dir + L"\\" + name;
            bool bSkip = false;
            for (const std::wstring& s : skip)
                bSkip = bSkip || _wcsicmp(full.c_str(), s.c_str()) == 0;
            if (bSkip)
                continue;
            out.push_back(full + L" " + std::to_wstring(fd.nFileSizeLow) + L" " +
                          std::to_wstring(fd.dwFileAttributes));
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                pending.push_back(full);
        } while (FindNextFileW(find.Get(), &fd));
    }
    std::sort(out.begin(), out.end());
    return out;
}
} // namespace lumofuzz
