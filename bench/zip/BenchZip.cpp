// Timing driver for bench/zip/run.sh (not a test):
//   bench_zip expand <archive> <dest>   ZLibExpand of the archive into dest
//   bench_zip inflate <archive>         zlib inflate and CRC-32 of every entry to memory
// Prints "seconds=<s> bytes=<uncompressed bytes>" for the timed part only.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include <string>
#include <vector>

#include "bench/BenchClock.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "zip/ZLibExpand.h"
#include "zlib.h"

namespace
{
unsigned Le(const unsigned char* p, int cb)
{
    unsigned v = 0;
    for (int i = cb - 1; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

bool ReadAll(const wchar_t* path, std::vector<unsigned char>& out)
{
    GpFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    HANDLE h = file.Get();
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    out.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < out.size())
    {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(out.size() - done, 1u << 26));
        if (!ReadFile(h, out.data() + done, want, &n, nullptr) || n == 0)
            break;
        done += n;
    }
    return done == out.size();
}

// The ceiling: the same entries inflated straight from memory into memory.
int Inflate(const wchar_t* archive)
{
    std::vector<unsigned char> zip;
    if (!ReadAll(archive, zip) || zip.size() < 22)
        return 2;
    size_t eocd = zip.size() - 22;
    while (eocd > 0 && Le(&zip[eocd], 4) != 0x06054b50)
        eocd--;
    unsigned count = Le(&zip[eocd + 10], 2);
    size_t cd = Le(&zip[eocd + 16], 4);
    std::vector<unsigned char> out;
    unsigned long long total = 0;
    int bad = 0;
    double t0 = BenchNow();
    for (unsigned i = 0; i < count; i++)
    {
        const unsigned char* c = &zip[cd];
        unsigned method = Le(c + 10, 2);
        unsigned crc = Le(c + 16, 4);
        size_t csize = Le(c + 20, 4);
        size_t usize = Le(c + 24, 4);
        size_t nameLen = Le(c + 28, 2), extraLen = Le(c + 30, 2), commentLen = Le(c + 32, 2);
        size_t local = Le(c + 42, 4);
        cd += 46 + nameLen + extraLen + commentLen;
        const unsigned char* data = &zip[local + 30 + Le(&zip[local + 26], 2) + Le(&zip[local + 28], 2)];
        if (out.size() < usize)
            out.resize(usize);
        if (method == 0)
            memcpy(out.data(), data, usize);
        else
        {
            z_stream zs = {};
            inflateInit2(&zs, -MAX_WBITS);
            zs.next_in = const_cast<Bytef*>(data);
            zs.avail_in = static_cast<uInt>(csize);
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(usize);
            if (inflate(&zs, Z_FINISH) != Z_STREAM_END)
                bad++;
            inflateEnd(&zs);
        }
        if (crc32(0, out.data(), static_cast<uInt>(usize)) != crc)
            bad++;
        total += usize;
    }
    double t = BenchNow() - t0;
    printf("seconds=%.3f bytes=%llu entries=%u bad=%d\n", t, total, count, bad);
    return bad == 0 ? 0 : 1;
}

int Expand(const wchar_t* archive, const wchar_t* dest)
{
    double t0 = BenchNow();
    int rc = ZLibExpand(archive, dest);
    double t = BenchNow() - t0;
    printf("seconds=%.3f rc=%d\n", t, rc);
    return rc == ERROR_OK ? 0 : 1;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"expand") == 0)
        return Expand(argv[2], argv[3]);
    if (argc == 3 && wcscmp(argv[1], L"inflate") == 0)
        return Inflate(argv[2]);
    fprintf(stderr, "usage: bench_zip expand <archive> <dest> | inflate <archive>\n");
    return 2;
}
