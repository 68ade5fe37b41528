#include "tests/support/HostLink.h"

#include <windows.h>

#include <vector>

#include "tests/support/TestUtil.h"
#include "common/GpHandles.h"

namespace lumotest
{
namespace
{
using SpawnFn = LONG(CDECL*)(char* const* argv, int wait);
using UnixNameFn = char*(CDECL*)(const wchar_t* path);

SpawnFn Spawn()
{
    return reinterpret_cast<SpawnFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
}
UnixNameFn UnixName()
{
    return reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

// Runs argv on the host and waits; true when it could be started (its exit code does not come back,
// so callers check what it made).
bool Run(std::initializer_list<std::string> args)
{
    SpawnFn spawn = Spawn();
    if (spawn == nullptr)
        return false;
    std::vector<std::string> copy(args);
    std::vector<char*> argv;
    for (std::string& s : copy)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    return spawn(argv.data(), 1) == 0;
}
} // namespace

bool HostAvailable()
{
    return Spawn() != nullptr && UnixName() != nullptr;
}

std::string HostPath(const std::wstring& path)
{
    UnixNameFn unixName = UnixName();
    if (unixName == nullptr)
        return {};
    GpHeapBlock name(unixName(path.c_str())); // Wine's own heap block
    return name ? std::string(static_cast<const char*>(name.Get())) : std::string();
}

bool HostShell(const std::wstring& dir, const std::string& script)
{
    std::string hostDir = HostPath(dir);
    std::wstring marker = dir + L"\\.host-ok";
    DeleteFileW(marker.c_str());
    if (hostDir.empty() ||
        !Run({"/bin/sh", "-c", "cd \"$0\" && ( " + script + " ) && : > \"$0/.host-ok\"", hostDir}))
        return false;
    bool ok = FileExists(marker);
    DeleteFileW(marker.c_str());
    return ok;
}

bool MakeHostLink(const std::wstring& linkPath, const std::wstring& target, bool bRelative)
{
    std::string hostLink = HostPath(linkPath);
    std::string hostTarget = bRelative ? ToUtf8(target) : HostPath(target);
    if (hostLink.empty() || hostTarget.empty() || !Run({"/bin/ln", "-s", hostTarget, hostLink}))
        return false;
    return GetFileAttributesW(linkPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}
} // namespace lumotest
