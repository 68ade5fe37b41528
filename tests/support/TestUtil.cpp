#include "tests/support/TestUtil.h"

#include <atomic>

#include "common/GpPath.h"

namespace lumotest
{
std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L'\\'));
}

std::wstring BinPath(const std::wstring& exeName)
{
    return BinDir() + L"\\" + exeName;
}

TempDir::TempDir()
{
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp);
    if (!base.empty() && base.back() == L'\\')
        base.pop_back();
    for (;;)
    {
        m_path = base + L"\\lumotest_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(++counter);
        if (CreateDirectoryW(m_path.c_str(), nullptr))
            break;
    }
}

TempDir::~TempDir()
{
    RemoveTree(m_path);
}

void RemoveTree(const std::wstring& path)
{
    // The product's own deleter: links are removed, never followed. A process that has just ended
    // (a console host of the installer) can hold a folder as its current one for a moment.
    for (int nTry = 0; nTry < 10 && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; nTry++)
    {
        if (nTry > 0)
            Sleep(100);
        ShDelete(path.c_str());
    }
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> ListFiles(const std::wstring& pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW(pattern.c_str(), &fd));
    if (!find)
        return names;
    do
    {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
            names.push_back(fd.cFileName);
    } while (FindNextFileW(find.Get(), &fd));
    return names;
}

std::string ReadFileBytes(const std::wstring& path)
{
    GpFile file(CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                            nullptr));
    if (!file)
        return {};
    std::string s;
    char buf[65536];
    DWORD cb;
    while (ReadFile(file.Get(), buf, sizeof(buf), &cb, nullptr) && cb > 0)
        s.append(buf, cb);
    return s;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    GpFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file)
        return false;
    DWORD cb = 0;
    BOOL ok = WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr);
    return ok && cb == bytes.size();
}

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& currentDir)
{
    ProcessResult r;
    ChildProcess child;
    if (!child.Start(commandLine, currentDir))
        return r;
    r.started = true;
    r.pid = child.Pid();
    if (!child.Wait(timeoutMs, &r.exitCode))
    {
        r.timedOut = true;
        child.Terminate();
    }
    return r;
}

ChildProcess::~ChildProcess()
{
    Terminate();
}

bool ChildProcess::Start(const std::wstring& commandLine, const std::wstring& currentDir,
                         const std::wstring& desktop)
{
    Terminate();
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    std::wstring desktopName = desktop;
    if (!desktopName.empty())
        si.lpDesktop = desktopName.data();
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi))
        return false;
    GpKernelHandle thread(pi.hThread);
    m_process.Reset(pi.hProcess);
    m_pid = pi.dwProcessId;
    return true;
}

bool ChildProcess::Wait(DWORD timeoutMs, DWORD* exitCode)
{
    if (!m_process)
        return true;
    if (WaitForSingleObject(m_process.Get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode != nullptr)
        GetExitCodeProcess(m_process.Get(), exitCode);
    return true;
}

void ChildProcess::Terminate()
{
    if (!m_process)
        return;
    if (WaitForSingleObject(m_process.Get(), 0) != WAIT_OBJECT_0)
    {
        TerminateProcess(m_process.Get(), 259);
        WaitForSingleObject(m_process.Get(), 5000);
    }
    m_process.Reset();
}

std::wstring Quote(const std::wstring& s)
{
    return L"\"" + s + L"\"";
}

std::string ToUtf8(const std::wstring& w)
{
    int n =
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::wstring FromUtf8(const std::string& s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), w.data(), n);
    return w;
}
} // namespace lumotest
