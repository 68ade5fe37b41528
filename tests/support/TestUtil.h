#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "common/GpHandles.h"

// Helpers for tests that run under Wine next to the programs of the build.
namespace lumotest
{
// Folder of the running test program: the build's bin folder, where every program lies.
std::wstring BinDir();
// Full path of a program of the build ("LumoAgent.exe", ...).
std::wstring BinPath(const std::wstring& exeName);

// A fresh folder under %TEMP%, removed with everything in it when the object goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

void RemoveTree(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Names of the entries a search for pattern finds ("dir\\*", "file.~*"), without "." and "..",
// in the order the search reports them.
std::vector<std::wstring> ListFiles(const std::wstring& pattern);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// Result of a child process.
struct ProcessResult
{
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0;
    DWORD pid = 0;
};

// Runs commandLine (program path first, quoted as needed) and waits up to timeoutMs.
// A child still running then is terminated and reported as timed out.
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                         const std::wstring& currentDir = L"");

// A child process that runs until it ends or the object is destroyed (then it is terminated).
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // desktop: "WinSta0\\NAME" to start it on a desktop of the test's own; empty: the test's.
    bool Start(const std::wstring& commandLine, const std::wstring& currentDir = L"",
               const std::wstring& desktop = L"");
    // Waits up to timeoutMs; true when it ended (exitCode filled).
    bool Wait(DWORD timeoutMs, DWORD* exitCode = nullptr);
    void Terminate();
    DWORD Pid() const { return m_pid; }
    HANDLE Handle() const { return m_process.Get(); }

private:
    GpKernelHandle m_process;
    DWORD m_pid = 0;
};

std::wstring Quote(const std::wstring& s);
std::string ToUtf8(const std::wstring& w);
std::wstring FromUtf8(const std::string& s);
} // namespace lumotest
