#include <gtest/gtest.h>

#include <string.h>

#include "tests/enc/EncTestUtil.h"
#include "tests/support/TraceCapture.h"
#include "enc/keygeneration.h"

using enctest::Bytes;
using enctest::Hex;

namespace
{
// Each routine's own code for a refused argument (the header names none).
constexpr int kKeyGenNoPassword = -504;
constexpr int kKeyGenBadLength = -519;
constexpr int kPbkdf2BadArgument = -447; // no password, or an output length out of range
constexpr int kKeyDeriveNoPassword = -392;

std::vector<BYTE> Salt0To63()
{
    std::vector<BYTE> s(64);
    for (int i = 0; i < 64; i++)
        s[i] = static_cast<BYTE>(i);
    return s;
}

// The salt of the documented container header 10 30 C1 02 BE 2D 90 00 ... A0 D1.
std::vector<BYTE> HeaderSalt()
{
    return Hex("D1A000000000000000902DBE02C13010D1A000000000000000902DBE02C13010"
               "D1A000000000000000902DBE02C13010D1A000000000000000902DBE02C13010");
}

std::vector<BYTE> LongPassPhrase() // 80 bytes: longer than the HMAC block, hashed first
{
    std::vector<BYTE> p(80);
    for (int i = 0; i < 80; i++)
        p[i] = static_cast<BYTE>((i * 7 + 3) & 0xFF);
    return p;
}

struct Pbkdf2Case
{
    const char* name;
    std::vector<BYTE> pwd;
    std::vector<BYTE> salt;
    std::vector<BYTE> expected; // hashlib.pbkdf2_hmac("sha1", pwd, salt, 1000, len)
};

std::vector<Pbkdf2Case> Pbkdf2Cases()
{
    const char* const out32 = "37E11AD37337B48733C3EAA38BDEBBE5 2E4D51F5 F940E7D05077F4EC30D5C3CD";
    std::vector<BYTE> full = Hex(out32);
    auto first = [&full](size_t n) { return std::vector<BYTE>(full.begin(), full.begin() + n); };
    return {
        {"Len16", Bytes("0123456789ABCDEF"), Salt0To63(), first(16)},
        {"Len20OneBlock", Bytes("0123456789ABCDEF"), Salt0To63(), first(20)},
        {"Len21TwoBlocks", Bytes("0123456789ABCDEF"), Salt0To63(), first(21)},
        {"Len32", Bytes("0123456789ABCDEF"), Salt0To63(), full},
        {"LongPassPhrase16", LongPassPhrase(), HeaderSalt(), Hex("DA82DCEF75087AC961B02BEB3F85FC11")},
        {"LongPassPhrase32", LongPassPhrase(), HeaderSalt(),
         Hex("DA82DCEF75087AC961B02BEB3F85FC1184C9A09DD342530615 19231DA4FE3BD4")},
        {"OneBytePassPhrase", Bytes("a"), Salt0To63(), Hex("3D8A7B6302E13D47A739413413C301667BD5BD0B")},
    };
}

void PrintTo(const Pbkdf2Case& c, std::ostream* os)
{
    *os << c.name;
}

class Pbkdf2 : public ::testing::TestWithParam<Pbkdf2Case>
{
};

TEST_P(Pbkdf2, MatchesStandardPbkdf2HmacSha1)
{
    const Pbkdf2Case& c = GetParam();
    const int n = static_cast<int>(c.expected.size());
    for (int viaKeyGen = 0; viaKeyGen < 2; viaKeyGen++)
    {
        std::vector<BYTE> out(n + 8, 0xCC);
        SetLastError(1234);
        int rc =
            viaKeyGen
                ? EncDll_KeyGen(c.pwd.data(), static_cast<int>(c.pwd.size()), c.salt.data(), out.data(), n)
                : EncDll_PBKDF2(c.pwd.data(), static_cast<int>(c.pwd.size()), c.salt.data(), out.data(), n);
        EXPECT_EQ(1, rc);
        EXPECT_EQ(0u, GetLastError());
        EXPECT_EQ(c.expected, std::vector<BYTE>(out.begin(), out.begin() + n));
        for (int i = n; i < n + 8; i++)
            EXPECT_EQ(0xCC, out[i]) << "written past the output at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(KeyGeneration, Pbkdf2, ::testing::ValuesIn(Pbkdf2Cases()),
                         [](const ::testing::TestParamInfo<Pbkdf2Case>& i) {
                             return std::string(i.param.name);
                         });

TEST(KeyDerive, SecondBlockContinuesTheOutput)
{
    std::vector<BYTE> pwd = Bytes("0123456789ABCDEF"), salt = Salt0To63();
    BYTE block[20];
    ASSERT_EQ(1, KeyDerive(pwd.data(), 16, salt.data(), block, 2));
    EXPECT_EQ(Hex("F940E7D05077F4EC30D5C3CD"), std::vector<BYTE>(block, block + 12));
}

// RFC 2202 test cases 1 and 6 (a key longer than the block), alone and in one session, whose
// second key must replace the first.
TEST(CalcHmac, Rfc2202)
{
    struct Case
    {
        std::vector<BYTE> key, data, mac;
    } cases[] = {
        {std::vector<BYTE>(20, 0x0B), Bytes("Hi There"), Hex("b617318655057264e28bc0b6fb378c8ef146be00")},
        {std::vector<BYTE>(80, 0xAA), Bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
         Hex("aa4ae5e15272d00e95705637ce8a3b55ed402112")},
    };
    HmacSession shared;
    for (const Case& c : cases)
    {
        for (HmacSession* pSession : {static_cast<HmacSession*>(nullptr), &shared})
        {
            BYTE mac[20] = {};
            int nLen = 0;
            EXPECT_TRUE(CalcHmac(c.key.data(), static_cast<int>(c.key.size()), c.data.data(),
                                 static_cast<int>(c.data.size()), mac, &nLen, pSession));
            EXPECT_EQ(20, nLen);
            EXPECT_EQ(0u, GetLastError());
            EXPECT_EQ(c.mac, std::vector<BYTE>(mac, mac + 20));
        }
    }
    EXPECT_NE(0u, shared.Provider()); // kept for the next HMAC of the same derivation
    EXPECT_EQ(80, shared.KeyLength());
}

TEST(KeyGeneration, RefusesEmptyPassPhrase)
{
    lumotest::TraceCapture trace;
    std::vector<BYTE> salt = Salt0To63();
    BYTE pwd[1] = {'x'}, out[32];
    struct Case
    {
        const wchar_t* name;
        int nCode;
        int rc;
    } cases[] = {
        {L"EncDll_KeyGen", kKeyGenNoPassword, EncDll_KeyGen(pwd, 0, salt.data(), out, 32)},
        {L"EncDll_PBKDF2", kPbkdf2BadArgument, EncDll_PBKDF2(pwd, 0, salt.data(), out, 32)},
        {L"KeyDerive", kKeyDeriveNoPassword, KeyDerive(pwd, 0, salt.data(), out, 1)},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.nCode, c.rc) << c.name;
        std::wstring line = std::wstring(L"[") + c.name + L"] ！pwdLen = 0.";
        EXPECT_TRUE(trace.WaitFor(line)) << line;
    }
    SetLastError(0);
    EncDll_KeyGen(pwd, 0, salt.data(), out, 32);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

// The last block is copied in part: a length of 0 would still write a whole block, and the
// one-byte block index ends at 255 blocks.
TEST(KeyGeneration, RefusesOutputLengthsOutsideOneTo255Blocks)
{
    lumotest::TraceCapture trace;
    std::vector<BYTE> salt = Salt0To63();
    BYTE pwd[16] = {}, out[24];
    for (int nLen : {0, -20, 255 * 20 + 1})
    {
        memset(out, 0xCC, sizeof(out));
        EXPECT_EQ(kPbkdf2BadArgument, EncDll_PBKDF2(pwd, 16, salt.data(), out, nLen)) << nLen;
        EXPECT_EQ(kKeyGenBadLength, EncDll_KeyGen(pwd, 16, salt.data(), out, nLen)) << nLen;
        for (BYTE b : out)
            EXPECT_EQ(0xCC, b);
    }
    EXPECT_TRUE(trace.WaitFor(L"[EncDll_PBKDF2] ！outLen = 0."));
    EXPECT_TRUE(trace.WaitFor(L"[EncDll_KeyGen] EncDll_PBKDF2=-447."));
}
} // namespace
