#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/CHashUtil.h"
#include "common/GpCryptHandles.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
// The hash's own codes for a file it refuses (the header names none).
constexpr int kHashOpenFailed = -84; // the file could not be opened for reading
constexpr int kHashBadSize = -50;    // empty, or larger than one read may take

std::string Hex(const BYTE* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++)
    {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// FIPS 180-4 example messages and their published SHA-1 digests.
struct Vector
{
    std::string message;
    const char* digest;
};
const Vector VECTORS[] = {
    {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
};
} // namespace

TEST(HashUtil, FileDigestEqualsPublishedVectorAndSparesTheRestOfTheBuffer)
{
    TempDir dir;
    for (const Vector& v : VECTORS)
    {
        std::wstring path = dir / L"v.bin";
        ASSERT_TRUE(WriteFileBytes(path, v.message));
        BYTE out[50];
        memset(out, 0xCC, sizeof(out));
        EXPECT_EQ(ERROR_OK, CHashUtil::CalcHashOnce(path.c_str(), out)) << v.digest;
        EXPECT_EQ(v.digest, Hex(out, 20));
        for (size_t i = 20; i < sizeof(out); i++)
            ASSERT_EQ(0xCC, out[i]) << i;
    }
}

TEST(HashUtil, MemoryFormHashesExactlyTheGivenBytes)
{
    GpCryptProv prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTPROV hProv = prov.Get();
    BYTE out[20];
    EXPECT_EQ(ERROR_OK, CHashUtil::CalcHashOnce(hProv, reinterpret_cast<const BYTE*>(""), 0, out));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(out, 20));
    const std::string abcd = "abcd";
    EXPECT_EQ(ERROR_OK, CHashUtil::CalcHashOnce(hProv, reinterpret_cast<const BYTE*>(abcd.data()), 3, out));
    EXPECT_EQ(VECTORS[0].digest, Hex(out, 20));
}

TEST(HashUtil, BlockOf512MiBAndMoreGivesTheRightDigest)
{
    // 2^29 bytes is where a 32-bit count of message bits overflows.
    const DWORD cb = 512u << 20;
    GpHeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb + 1));
    ASSERT_TRUE(block);
    GpCryptProv prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTPROV hProv = prov.Get();
    BYTE out[20];
    EXPECT_EQ(ERROR_OK, CHashUtil::CalcHashOnce(hProv, static_cast<const BYTE*>(block.Get()), cb, out));
    EXPECT_EQ("5b088492c9f4778f409b7ae61477dec124c99033", Hex(out, 20)); // sha1sum of 512 MiB of zeros
}

TEST(HashUtil, HandleFormReadsFromTheStartAndLeavesTheHandleOpen)
{
    TempDir dir;
    std::wstring path = dir / L"abc.bin";
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    GpFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    ASSERT_NE(INVALID_SET_FILE_POINTER, SetFilePointer(file.Get(), 2, nullptr, FILE_BEGIN));
    BYTE out[20] = {};
    EXPECT_EQ(ERROR_OK, CHashUtil::CalcHashOnce(file.Get(), out));
    EXPECT_EQ(VECTORS[0].digest, Hex(out, 20));
    LARGE_INTEGER size = {};
    EXPECT_TRUE(GetFileSizeEx(file.Get(), &size)); // still ours to use
    EXPECT_EQ(ERROR_OK, CHashUtil::CalcHashOnce(file.Get(), out));
}

TEST(HashUtil, RefusedFilesGiveTheirCodeAndNoDigest)
{
    TempDir dir;
    std::wstring empty = dir / L"empty.bin";
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    // One byte over the limit; sparse, so it costs no disk.
    std::wstring huge = dir / L"huge.bin";
    {
        GpFile file(CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
        LARGE_INTEGER end;
        end.QuadPart = CHashUtil::MAX_FILE_BYTES + 1;
        ASSERT_TRUE(SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.Get()));
    }
    struct Case
    {
        std::wstring path;
        int result;
        const wchar_t* trace;
    };
    const Case cases[] = {
        {empty, kHashBadSize, L"[CHashUtil::CalcHashOnce] ！Seek64=0."},
        {huge, kHashBadSize, L"[CHashUtil::CalcHashOnce] ！Seek64=2147483647."},
        {dir / L"absent.bin", kHashOpenFailed, L"[CHashUtil::CalcHashOnce] ！CreateFile("},
    };
    TraceCapture capture;
    for (const Case& c : cases)
    {
        BYTE out[50];
        memset(out, 0x5A, sizeof(out));
        EXPECT_EQ(c.result, CHashUtil::CalcHashOnce(c.path.c_str(), out)) << c.path;
        for (BYTE b : out)
            ASSERT_EQ(0x5A, b);
        EXPECT_TRUE(capture.WaitFor(c.trace)) << c.path;
    }
}

TEST(HashUtil, FileLockedAgainstReadingGivesOpenFailure)
{
    TempDir dir;
    std::wstring path = dir / L"locked.bin";
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    // Another opener that shares nothing.
    GpFile holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    BYTE out[20] = {};
    EXPECT_EQ(kHashOpenFailed, CHashUtil::CalcHashOnce(path.c_str(), out));
}
