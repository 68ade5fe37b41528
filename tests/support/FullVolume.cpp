#include "tests/support/FullVolume.h"

#include <memory>

#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "tests/support/HostLink.h"

namespace lumotest
{
namespace
{
std::wstring Parent(const std::wstring& dir)
{
    size_t n = dir.find_last_of(L'\\');
    return n == std::wstring::npos ? dir : dir.substr(0, n);
}
} // namespace

FullVolume::FullVolume(const std::wstring& dir, bool bMount) : m_dir(dir)
{
    CreateDirectoryW(dir.c_str(), nullptr);
    std::string host = HostPath(dir);
    // The shell runs in the parent folder: one inside the volume would keep it from going again.
    if (bMount && !host.empty() && HostAvailable())
        m_bMounted = HostShell(Parent(dir), "mount -t tmpfs -o size=64k tmpfs '" + host + "' 2>/dev/null");
}

FullVolume::~FullVolume()
{
    if (!m_bMounted)
        return;
    std::string host = HostPath(m_dir);
    // A handle some test left open keeps the volume busy: then it goes once that is closed.
    if (!HostShell(Parent(m_dir), "umount '" + host + "' 2>/dev/null"))
        HostShell(Parent(m_dir), "umount -l '" + host + "'");
}

bool FullVolume::Fill()
{
    GpFile filler(CreateFileW((m_dir + L"\\filler").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!filler)
        return false;
    static const char block[4096] = {};
    DWORD cb = 0;
    for (DWORD cbChunk : {4096u, 1u})
        while (WriteFile(filler.Get(), block, cbChunk, &cb, nullptr) && cb == cbChunk)
        {
        }
    filler.Reset();
    ULARGE_INTEGER free = {};
    return GetDiskFreeSpaceExW(m_dir.c_str(), &free, nullptr, nullptr) && free.QuadPart == 0;
}

void FullVolume::UseSeam(ULONGLONG cbFree)
{
    auto left = std::make_shared<ULONGLONG>(cbFree);
    GpSeam().WriteFileFn = [left](HANDLE h, const void* p, DWORD cb, DWORD* pcbDone) -> BOOL {
        DWORD cbFit = static_cast<DWORD>(cb < *left ? cb : *left);
        DWORD cbDone = 0;
        if (cbFit > 0 && !WriteFile(h, p, cbFit, &cbDone, nullptr))
            return FALSE;
        *left -= cbDone;
        *pcbDone = cbDone;
        if (cbDone < cb)
        {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        return TRUE;
    };
}
} // namespace lumotest
