#include <gtest/gtest.h>

#include <string.h>

#include "tests/enc/EncTestUtil.h"
#include "tests/support/TraceCapture.h"
#include "enc/aes197.h"

using enctest::Hex;

namespace
{
const BYTE ZERO_IV[16] = {};

struct BlockCase
{
    const char* name;
    const char* key;
    const char* plain;
    const char* cipher;
    int nRoundKeyLen;
    const char* lastRoundKey; // last four words of the encryption schedule
};

// FIPS-197 Appendix C.1 and C.3; the last round keys from Appendix A.1 and A.3.
const BlockCase BLOCK_CASES[] = {
    {"AES128", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a", 176, nullptr},
    {"AES256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089", 240, nullptr},
    {"AES128_A1", "2b7e151628aed2a6abf7158809cf4f3c", nullptr, nullptr, 176,
     "d014f9a8c9ee2589e13f0cc8b6630ca6"},
    {"AES256_A3", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", nullptr, nullptr, 240,
     "fe4890d1e6188d0b046df344706c631e"},
};

void PrintTo(const BlockCase& c, std::ostream* os)
{
    *os << c.name;
}

class AesBlock : public ::testing::TestWithParam<BlockCase>
{
};

// One block of CBC with a zero IV is the block cipher itself.
TEST_P(AesBlock, ScheduleAndBlockVectors)
{
    const BlockCase& c = GetParam();
    std::vector<BYTE> key = Hex(c.key);
    BYTE enc[240] = {}, dec[240] = {};
    int nEnc = 0, nDec = 0;
    ASSERT_EQ(0, EncryptKeyExpansion(key.data(), static_cast<int>(key.size()), enc, &nEnc));
    ASSERT_EQ(0, DecryptKeyExpansion(key.data(), static_cast<int>(key.size()), dec, &nDec));
    EXPECT_EQ(c.nRoundKeyLen, nEnc);
    EXPECT_EQ(c.nRoundKeyLen, nDec);
    if (c.lastRoundKey != nullptr)
    {
        EXPECT_EQ(Hex(c.lastRoundKey), std::vector<BYTE>(enc + nEnc - 16, enc + nEnc));
        // The inverse schedule begins with the last round key and ends with the key itself.
        EXPECT_EQ(Hex(c.lastRoundKey), std::vector<BYTE>(dec, dec + 16));
        EXPECT_EQ(std::vector<BYTE>(key.begin(), key.begin() + 16),
                  std::vector<BYTE>(dec + nDec - 16, dec + nDec));
    }
    if (c.plain == nullptr)
        return;
    std::vector<BYTE> plain = Hex(c.plain);
    BYTE out[16], back[16];
    ASSERT_EQ(0, EncryptionCBC(plain.data(), out, 16, enc, nEnc, ZERO_IV));
    EXPECT_EQ(Hex(c.cipher), std::vector<BYTE>(out, out + 16));
    ASSERT_EQ(0, DecryptionCBC(out, back, 16, dec, nDec, ZERO_IV));
    EXPECT_EQ(plain, std::vector<BYTE>(back, back + 16));
    // The two schedules are not interchangeable.
    ASSERT_EQ(0, DecryptionCBC(out, back, 16, enc, nEnc, ZERO_IV));
    EXPECT_NE(plain, std::vector<BYTE>(back, back + 16));
}

INSTANTIATE_TEST_SUITE_P(Fips197, AesBlock, ::testing::ValuesIn(BLOCK_CASES),
                         [](const ::testing::TestParamInfo<BlockCase>& i) {
                             return std::string(i.param.name);
                         });

// NIST SP 800-38A F.2.1/F.2.2 and F.2.5/F.2.6.
struct CbcCase
{
    const char* name;
    const char* key;
    const char* cipher;
};
const char* const CBC_IV = "000102030405060708090a0b0c0d0e0f";
const char* const CBC_PLAIN = "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                              "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";
const CbcCase CBC_CASES[] = {
    {"AES128", "2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"},
    {"AES256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"},
};

void PrintTo(const CbcCase& c, std::ostream* os)
{
    *os << c.name;
}

class AesCbc : public ::testing::TestWithParam<CbcCase>
{
};

TEST_P(AesCbc, Sp800_38aVectorsInPlaceAndApart)
{
    const CbcCase& c = GetParam();
    std::vector<BYTE> key = Hex(c.key), iv = Hex(CBC_IV), plain = Hex(CBC_PLAIN), cipher = Hex(c.cipher);
    const std::vector<BYTE> ivBefore = iv;
    BYTE enc[240] = {}, dec[240] = {};
    int nEnc = 0, nDec = 0;
    ASSERT_EQ(0, EncryptKeyExpansion(key.data(), static_cast<int>(key.size()), enc, &nEnc));
    ASSERT_EQ(0, DecryptKeyExpansion(key.data(), static_cast<int>(key.size()), dec, &nDec));

    std::vector<BYTE> apart(64);
    ASSERT_EQ(0, EncryptionCBC(plain.data(), apart.data(), 64, enc, nEnc, iv.data()));
    EXPECT_EQ(cipher, apart);
    std::vector<BYTE> inPlace = plain;
    ASSERT_EQ(0, EncryptionCBC(inPlace.data(), inPlace.data(), 64, enc, nEnc, iv.data()));
    EXPECT_EQ(cipher, inPlace);

    ASSERT_EQ(0, DecryptionCBC(cipher.data(), apart.data(), 64, dec, nDec, iv.data()));
    EXPECT_EQ(plain, apart);
    ASSERT_EQ(0, DecryptionCBC(inPlace.data(), inPlace.data(), 64, dec, nDec, iv.data()));
    EXPECT_EQ(plain, inPlace);

    // The vector is only read: a second call starts a fresh chain.
    EXPECT_EQ(ivBefore, iv);
}

INSTANTIATE_TEST_SUITE_P(Sp800_38a, AesCbc, ::testing::ValuesIn(CBC_CASES),
                         [](const ::testing::TestParamInfo<CbcCase>& i) {
                             return std::string(i.param.name);
                         });

TEST(AesKeyExpansion, RefusesArgumentsInOrder)
{
    lumotest::TraceCapture trace;
    BYTE key[32] = {}, rk[240] = {};
    int nLen = 12345;
    struct Case
    {
        BYTE* pRoundKey;
        int* pLen;
        int nKeyLen;
        int nCode;
        const wchar_t* line;
    } cases[] = {
        {nullptr, nullptr, 24, -1, L"[EncryptKeyExpansion] ！roundKey"},
        {rk, nullptr, 24, -2, L"[EncryptKeyExpansion] ！roundKeyLen"},
        {rk, &nLen, 24, -3, L"[EncryptKeyExpansion] ！len = 24."},
        {rk, &nLen, 0, -3, L"[EncryptKeyExpansion] ！len = 0."},
    };
    for (const Case& c : cases)
    {
        trace.Clear();
        SetLastError(0);
        EXPECT_EQ(c.nCode, EncryptKeyExpansion(key, c.nKeyLen, c.pRoundKey, c.pLen)) << c.nCode;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_TRUE(trace.WaitFor(c.line)) << c.line;
    }
    EXPECT_EQ(12345, nLen); // written only on success

    trace.Clear();
    SetLastError(0);
    EXPECT_EQ(-3, DecryptKeyExpansion(key, 24, rk, &nLen));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_TRUE(trace.WaitFor(L"[DecryptKeyExpansion] ！EncryptKeyExpansion = -3."));
    EXPECT_TRUE(trace.Contains(L"[EncryptKeyExpansion] ！len = 24."));
}

TEST(AesCbcChecks, RefusesArgumentsInOrder)
{
    lumotest::TraceCapture trace;
    BYTE buf[32] = {}, rk[240] = {}, iv[16] = {};
    int nRk = 0;
    ASSERT_EQ(0, EncryptKeyExpansion(buf, 16, rk, &nRk));
    struct Case
    {
        const BYTE* pIn;
        BYTE* pOut;
        int nLen;
        const BYTE* pRk;
        int nRkLen;
        const BYTE* pIv;
        int nCode;
        const wchar_t* text;
    } cases[] = {
        {nullptr, nullptr, 17, nullptr, 0, nullptr, -1, L"！inBuf"},
        {buf, nullptr, 17, nullptr, 0, nullptr, -2, L"！outBuf"},
        // The length is refused before the round key and the vector are looked at.
        {buf, buf, 17, nullptr, 0, nullptr, -3, L"！bufLen = 17."},
        {buf, buf, 32, nullptr, 0, nullptr, -4, L"！roundKey"},
        {buf, buf, 32, rk, 208, nullptr, -5, L"！roundKeyLen = 208."},
        {buf, buf, 32, rk, 176, nullptr, -6, L"！_iv"},
    };
    using CbcFn = int (*)(const BYTE*, BYTE*, int, const BYTE*, int, const BYTE*);
    const struct
    {
        CbcFn fn;
        const wchar_t* name;
    } fns[] = {{EncryptionCBC, L"EncryptionCBC"}, {DecryptionCBC, L"DecryptionCBC"}};
    for (const auto& f : fns)
    {
        for (const Case& c : cases)
        {
            trace.Clear();
            SetLastError(0);
            EXPECT_EQ(c.nCode, f.fn(c.pIn, c.pOut, c.nLen, c.pRk, c.nRkLen, c.pIv)) << c.nCode;
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
            std::wstring line = std::wstring(L"[") + f.name + L"] " + c.text;
            EXPECT_TRUE(trace.WaitFor(line)) << line;
        }
        // A length of 0 passes and writes nothing.
        BYTE out[16];
        memset(out, 0xCC, sizeof(out));
        EXPECT_EQ(0, f.fn(buf, out, 0, rk, nRk, iv));
        for (BYTE b : out)
            EXPECT_EQ(0xCC, b);
    }
}
} // namespace
