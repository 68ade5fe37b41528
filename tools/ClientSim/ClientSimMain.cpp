// QvClientSim: stands in for the main client window. A top-level window of class
// "RXMainAppClass" that answers RX_MSG_TOOL_UPDATE (WM_APP + 11) the way the test asks.
//   QvClientSim.exe [/answer=N] [/first=N] [/log=FILE] [/seconds=N] [/pid=N] [/title=T]
// /answer=N  the answer to every message (default 0: logged out)
// /first=N   the answer to the first message only; later ones get /answer (refuse, then accept)
// /delay=MS  waits MS milliseconds before answering
// /log=FILE  appends one line "wParam=<w> lParam=<l> answer=<a>" per message (UTF-8); the same
//            line goes to stdout
// /seconds=N ends after N seconds; /pid=N ends when process N ends (default: 60 seconds)
// Prints "ready" once the window exists.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/ClientContract.h"
#include "common/GpHandles.h"
#include "tools/common/ToolArgs.h"

namespace
{
LRESULT g_answer = 0;
LRESULT g_firstAnswer = 0;
bool g_hasFirst = false;
int g_count = 0;
DWORD g_delayMs = 0;
const wchar_t* g_logPath = nullptr;

void Log(const std::string& line)
{
    DWORD cb;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &cb, nullptr);
    if (g_logPath == nullptr)
        return;
    // Opened per line, so that a test may read the file while the window still runs.
    GpFile h(CreateFileW(g_logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        return;
    WriteFile(h.Get(), line.data(), static_cast<DWORD>(line.size()), &cb, nullptr);
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == RX_MSG_TOOL_UPDATE)
    {
        LRESULT answer = (g_hasFirst && g_count == 0) ? g_firstAnswer : g_answer;
        g_count++;
        char line[128];
        snprintf(line, sizeof(line), "wParam=%llu lParam=%lld answer=%lld\n",
                 static_cast<unsigned long long>(wParam), static_cast<long long>(lParam),
                 static_cast<long long>(answer));
        Log(line);
        if (g_delayMs != 0)
            Sleep(g_delayMs); // a client that takes its time to log out
        return answer;
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

// Under Wine without a display the desktop has no graphics driver and no window can exist; a
// process that has failed once keeps failing. Then a second instance of this program brings the
// desktop up with Wine's null driver, and the setting is put back as soon as its window exists,
// so that later desktops (once every process has left this one) are as configured.
bool NeedsNullDriver()
{
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    if (hNtdll == nullptr || GetProcAddress(hNtdll, "wine_get_version") == nullptr)
        return false;
    wchar_t display[8];
    if (GetEnvironmentVariableW(L"DISPLAY", display, 8) != 0 ||
        GetEnvironmentVariableW(L"WAYLAND_DISPLAY", display, 8) != 0)
        return false;
    GpRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        return true;
    return RegQueryValueExW(key.Get(), L"Graphics", nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS;
}

int RunWithNullDriver()
{
    GpRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Drivers", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                        nullptr, key.Put(), nullptr) != ERROR_SUCCESS)
        return 1;
    HKEY hKey = key.Get();
    wchar_t old[64] = {};
    DWORD cbOld = sizeof(old) - sizeof(wchar_t);
    DWORD type = 0;
    bool hadOld = RegQueryValueExW(hKey, L"Graphics", nullptr, &type, reinterpret_cast<BYTE*>(old), &cbOld) ==
                  ERROR_SUCCESS;
    const wchar_t kNull[] = L"null";
    RegSetValueExW(hKey, L"Graphics", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNull), sizeof(kNull));

    std::wstring readyName = L"QvClientSim.Ready." + std::to_wstring(GetCurrentProcessId());
    GpKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    std::wstring cmd = std::wstring(GetCommandLineW()) + L" /ready=" + readyName;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    DWORD exitCode = 1;
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    {
        GpKernelHandle process(pi.hProcess), thread(pi.hThread);
        HANDLE waits[2] = {ready.Get(), process.Get()};
        WaitForMultipleObjects(2, waits, FALSE, 30000);
        if (hadOld)
            RegSetValueExW(hKey, L"Graphics", 0, type, reinterpret_cast<const BYTE*>(old), cbOld);
        else
            RegDeleteValueW(hKey, L"Graphics");
        hadOld = true; // restored
        WaitForSingleObject(process.Get(), INFINITE);
        GetExitCodeProcess(process.Get(), &exitCode);
    }
    else if (!hadOld)
        RegDeleteValueW(hKey, L"Graphics");
    else
        RegSetValueExW(hKey, L"Graphics", 0, type, reinterpret_cast<const BYTE*>(old), cbOld);
    return static_cast<int>(exitCode);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* answer = ArgValue(argc, argv, L"/answer=");
    const wchar_t* first = ArgValue(argc, argv, L"/first=");
    const wchar_t* seconds = ArgValue(argc, argv, L"/seconds=");
    const wchar_t* pid = ArgValue(argc, argv, L"/pid=");
    const wchar_t* title = ArgValue(argc, argv, L"/title=");
    const wchar_t* ready = ArgValue(argc, argv, L"/ready=");
    const wchar_t* delay = ArgValue(argc, argv, L"/delay=");
    if (delay != nullptr)
        g_delayMs = static_cast<DWORD>(_wtoi(delay));
    g_logPath = ArgValue(argc, argv, L"/log=");
    if (answer != nullptr)
        g_answer = _wtoi64(answer);
    if (first != nullptr)
    {
        g_hasFirst = true;
        g_firstAnswer = _wtoi64(first);
    }

    GpKernelHandle watch;
    if (pid != nullptr)
    {
        watch.Reset(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(_wtoi(pid))));
        if (!watch)
        {
            fwprintf(stderr, L"cannot open process %ls (%lu)\n", pid, GetLastError());
            return 2;
        }
    }

    if (ready == nullptr && NeedsNullDriver())
        return RunWithNullDriver();

    WNDCLASSW wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = RX_MAIN_WINDOW_CLASS;
    if (!RegisterClassW(&wc))
    {
        fwprintf(stderr, L"RegisterClass failed (%lu)\n", GetLastError());
        return 1;
    }
    HWND hWnd =
        CreateWindowExW(0, wc.lpszClassName, title ? title : L"Quovera Client", WS_OVERLAPPEDWINDOW,
                        CW_USEDEFAULT, CW_USEDEFAULT, 200, 100, nullptr, nullptr, wc.hInstance, nullptr);
    if (hWnd == nullptr)
    {
        fwprintf(stderr, L"CreateWindow failed (%lu)\n", GetLastError());
        return 1;
    }
    Log("ready\n");
    if (ready != nullptr)
    {
        GpKernelHandle readyEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, ready));
        if (readyEvent)
            SetEvent(readyEvent.Get());
    }

    DWORD dwLimit =
        (seconds != nullptr) ? static_cast<DWORD>(_wtoi(seconds)) * 1000 : (watch ? INFINITE : 60000);
    ULONGLONG tEnd = (dwLimit == INFINITE) ? 0 : GetTickCount64() + dwLimit;
    for (;;)
    {
        DWORD dwWait = INFINITE;
        if (tEnd != 0)
        {
            ULONGLONG now = GetTickCount64();
            if (now >= tEnd)
                break;
            dwWait = static_cast<DWORD>(tEnd - now);
        }
        HANDLE hWatch = watch.Get();
        DWORD r = MsgWaitForMultipleObjects(hWatch ? 1 : 0, &hWatch, FALSE, dwWait, QS_ALLINPUT);
        if (hWatch != nullptr && r == WAIT_OBJECT_0)
            break;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DestroyWindow(hWnd);
    return 0;
}
