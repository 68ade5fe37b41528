// PatchMain.exe (sample installer of a patch): copies the folder "payload" that lies beside it
// into the client's install folder and ends with 37 (success).
//
// An optional "PatchMain.ini" beside it steers a rehearsal:
//   [PatchMain]
//   ExitCode=37        exit code to end with (anything but 37 is a failed installation)
//   TargetDir=C:\...   install here instead of the registry's InstallLocation
//   DelayMs=0          pause before installing
//   RunLog=C:\...\x.log one line when a run starts and one when it ends ("start pid=N",
//                      "end pid=N exit=N"), appended, so that a test can count finished runs
// The install folder comes from the client's Uninstall entry ("InstallLocation"), as the
// updater finds it.
#include <windows.h>

#include <string>

#include "common/ClientContract.h"
#include "common/GpHandles.h"

namespace
{
const wchar_t* const kProducts[] = {CLIENT_PRODUCT_KEY_32, CLIENT_PRODUCT_KEY_64};

std::wstring InstallLocation()
{
    for (const wchar_t* product : kProducts)
    {
        GpRegKey hKey;
        std::wstring key = std::wstring(CLIENT_UNINSTALL_KEY) + L"\\" + product;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, hKey.Put()) != ERROR_SUCCESS)
            continue;
        wchar_t value[MAX_PATH + 1] = L"";
        DWORD cb = sizeof(value) - sizeof(wchar_t);
        LONG rc = RegQueryValueExW(hKey.Get(), CLIENT_INSTALL_LOCATION, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(value), &cb);
        if (rc == ERROR_SUCCESS)
            return value;
    }
    return L"";
}

// Appends one line to the run log (no log configured: nothing).
void LogRun(const std::wstring& log, const std::string& line)
{
    if (log.empty())
        return;
    GpFile file(CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    std::string text = line + "\r\n";
    DWORD cb = 0;
    WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &cb, nullptr);
}

bool CopyTree(const std::wstring& from, const std::wstring& to)
{
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW fd;
    GpFind h(FindFirstFileW((from + L"\\*").c_str(), &fd));
    if (!h)
        return false;
    bool ok = true;
    do
    {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::wstring src = from + L"\\" + name;
        std::wstring dst = to + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = CopyTree(src, dst) && ok;
        else
            ok = CopyFileW(src.c_str(), dst.c_str(), FALSE) && ok;
    } while (FindNextFileW(h.Get(), &fd));
    return ok;
}

int Install(const std::wstring& dir, const std::wstring& installDir, UINT exitCode, UINT delayMs)
{
    if (delayMs > 0)
        Sleep(delayMs);
    if (exitCode != 37)
        return static_cast<int>(exitCode); // a rehearsed failure installs nothing
    if (installDir.empty())
        return 2;
    std::wstring payload = dir + L"\\payload";
    if (GetFileAttributesW(payload.c_str()) == INVALID_FILE_ATTRIBUTES)
        return 37; // nothing to install
    return CopyTree(payload, installDir) ? 37 : 29;
}
} // namespace

int wmain()
{
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self, n);
    dir = dir.substr(0, dir.find_last_of(L'\\'));
    std::wstring ini = dir + L"\\PatchMain.ini";

    UINT exitCode = GetPrivateProfileIntW(L"PatchMain", L"ExitCode", 37, ini.c_str());
    UINT delayMs = GetPrivateProfileIntW(L"PatchMain", L"DelayMs", 0, ini.c_str());
    wchar_t target[MAX_PATH] = L"";
    GetPrivateProfileStringW(L"PatchMain", L"TargetDir", L"", target, MAX_PATH, ini.c_str());
    std::wstring installDir = target[0] ? std::wstring(target) : InstallLocation();
    if (!installDir.empty() && installDir.back() == L'\\')
        installDir.pop_back();

    wchar_t runLog[MAX_PATH] = L"";
    GetPrivateProfileStringW(L"PatchMain", L"RunLog", L"", runLog, MAX_PATH, ini.c_str());
    std::string pid = std::to_string(GetCurrentProcessId());
    LogRun(runLog, "start pid=" + pid);
    int rc = Install(dir, installDir, exitCode, delayMs);
    LogRun(runLog, "end pid=" + pid + " exit=" + std::to_string(rc));
    return rc;
}
