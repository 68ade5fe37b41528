#pragma once
#include <windows.h>

#include <string>

// A small volume on a folder of the prefix, to see what the writers do when the disk fills. Where
// the host allows it (root, mount), a 64 KiB tmpfs is mounted on the folder (made when missing;
// what it held is hidden until the volume goes); elsewhere Mounted() is false and UseSeam() plays
// a full disk in this process by failing writes with ERROR_DISK_FULL.
namespace lumotest
{
class FullVolume
{
public:
    // bMount false: no volume, the seam only (how a machine without mount sees the tests).
    explicit FullVolume(const std::wstring& dir, bool bMount = true);
    ~FullVolume();
    FullVolume(const FullVolume&) = delete;
    FullVolume& operator=(const FullVolume&) = delete;

    bool Mounted() const { return m_bMounted; }
    // Takes every free byte with a filler file; true when the volume then has no free byte.
    bool Fill();
    // Without a mount: writes through the product's write seam fail once cbFree bytes are written.
    void UseSeam(ULONGLONG cbFree);

private:
    std::wstring m_dir;
    bool m_bMounted = false;
};
} // namespace lumotest
