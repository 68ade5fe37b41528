#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <string.h>

#include <algorithm>
#include <functional>

#include "tests/enc/EncTestUtil.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "enc/EncFile.h"
#include "enc/aes197.h"
#include "enc/keygeneration.h"

using enctest::Bytes;
using enctest::Hex;

namespace
{
const char PASS[] = "LumoAgentTestKey"; // 16 bytes

DWORD TickZero()
{
    return 0;
}
DWORD Tick7568()
{
    return 7568;
}

std::vector<BYTE> Pattern(int n)
{
    std::vector<BYTE> v(n);
    for (int i = 0; i < n; i++)
        v[i] = static_cast<BYTE>(i * 31 + 7);
    return v;
}

std::vector<BYTE> FileBytes(const std::wstring& path)
{
    return Bytes(lumotest::ReadFileBytes(path));
}

void PutFile(const std::wstring& path, const std::vector<BYTE>& bytes)
{
    ASSERT_TRUE(lumotest::WriteFileBytes(path, std::string(bytes.begin(), bytes.end())));
}

class EncFileTest : public ::testing::Test
{
protected:
    void TearDown() override { EncFileSetTickSource(nullptr); }

    static void Prepare(EncFile& ef, BYTE nVersion, const char* pszPass = PASS)
    {
        ef.SetKey(pszPass, static_cast<int>(strlen(pszPass)));
        ef.m_nEncVersion = nVersion;
    }

    int Store(const std::wstring& path, const std::vector<BYTE>& data, BYTE nVersion,
              const char* pszPass = PASS)
    {
        EncFile ef;
        Prepare(ef, nVersion, pszPass);
        int rc = ef.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS);
        if (rc != ERROR_OK)
            return rc;
        if (!ef.SetData(data.empty() ? nullptr : data.data(), static_cast<int>(data.size())))
            return -1;
        return ef.Write();
    }

    int Load(const std::wstring& path, std::vector<BYTE>* pData, const char* pszPass = PASS)
    {
        EncFile ef;
        Prepare(ef, 2, pszPass);
        int rc = ef.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (rc != ERROR_OK)
            return rc;
        rc = ef.Read();
        if (pData != nullptr)
            pData->assign(ef.GetData(), ef.GetData() + (ef.GetData() ? ef.GetDataSize() : 0));
        return rc;
    }

    lumotest::TempDir m_dir;
    lumotest::TraceCapture m_trace;
};

// The documented example: tick 0, 100 bytes, version 2. The whole file was computed outside the
// program (Python: hashlib.pbkdf2_hmac and the cryptography package's AES-CBC).
TEST_F(EncFileTest, WritesTheDocumentedContainerByteForByte)
{
    EncFileSetTickSource(TickZero);
    std::vector<BYTE> data(100);
    for (int i = 0; i < 100; i++)
        data[i] = static_cast<BYTE>(i);
    std::wstring path = m_dir / L"example.cfg";
    ASSERT_EQ(ERROR_OK, Store(path, data, 2));

    std::vector<BYTE> file = FileBytes(path);
    EXPECT_EQ(Hex("1030C102BE2D9000000000000000A0D1"), std::vector<BYTE>(file.begin(), file.begin() + 16));
    EXPECT_EQ(Hex("1030C102BE2D9000000000000000A0D19B401DFCAE148CDAF67DE3FC6743C829"
                  "D9336F18D3F59131D8A5C701DACF18B936C6B9F81718AEFB2BD9EAC470C83E7D"
                  "45ADEBBCBF49658B42316AE2063F3B7FB8B6E9C050F908F94463DEFC8C7121A0"
                  "1FF82822FDDF1F751F82D46B87D732655D7CCC192C009CB921AA0073B5D0B590"
                  "E112B8492C44C0FFE79CA85073DC54054DB83768CA9FBE50EF66056E5B87D173"),
              file);

    // Read gives the data and its padding, a whole number of blocks.
    std::vector<BYTE> back;
    ASSERT_EQ(ERROR_OK, Load(path, &back));
    ASSERT_EQ(112u, back.size());
    EXPECT_EQ(data, std::vector<BYTE>(back.begin(), back.begin() + 100));
}

// The salt of the documented header above: its 16 bytes backwards, four times over.
TEST_F(EncFileTest, SaltIsHeader1aBackwardsFourTimes)
{
    std::vector<BYTE> hd1a = Hex("1030C102BE2D9000000000000000A0D1");
    BYTE salt[64];
    EncFile::MakeSalt(hd1a.data(), salt);
    EXPECT_EQ(Hex("D1A000000000000000902DBE02C13010D1A000000000000000902DBE02C13010"
                  "D1A000000000000000902DBE02C13010D1A000000000000000902DBE02C13010"),
              std::vector<BYTE>(salt, salt + 64));
}

TEST_F(EncFileTest, SmallTickGivesLowestRand1)
{
    EncFileSetTickSource(Tick7568);
    std::wstring path = m_dir / L"r.cfg";
    ASSERT_EQ(ERROR_OK, Store(path, Pattern(5), 2));
    std::vector<BYTE> file = FileBytes(path);
    ASSERT_GE(file.size(), 16u);
    EXPECT_EQ(236, file[1] | (file[2] << 8));
    EXPECT_EQ(0xEEEE - 236, file[4] | (file[5] << 8));
}

struct RoundTripCase
{
    int nSize;
    BYTE nVersion;
};

void PrintTo(const RoundTripCase& c, std::ostream* os)
{
    *os << c.nSize << " bytes, version " << static_cast<int>(c.nVersion);
}

class EncFileRoundTrip : public EncFileTest, public ::testing::WithParamInterface<RoundTripCase>
{
};

TEST_P(EncFileRoundTrip, ReadGivesDataAndPadding)
{
    const RoundTripCase& c = GetParam();
    std::vector<BYTE> data = Pattern(c.nSize);
    std::wstring path = m_dir / L"rt.cfg";
    ASSERT_EQ(ERROR_OK, Store(path, data, c.nVersion));
    const int nContents = (c.nSize + 15) / 16 * 16;
    std::vector<BYTE> file = FileBytes(path);
    EXPECT_EQ(static_cast<size_t>(48 + nContents), file.size());
    EXPECT_EQ(c.nVersion, file[3]);
    std::vector<BYTE> back;
    ASSERT_EQ(ERROR_OK, Load(path, &back)); // the reader's version is the file's, not its own
    ASSERT_EQ(static_cast<size_t>(nContents), back.size());
    EXPECT_EQ(data, std::vector<BYTE>(back.begin(), back.begin() + c.nSize));
}

INSTANTIATE_TEST_SUITE_P(Sizes, EncFileRoundTrip,
                         ::testing::Values(RoundTripCase{1, 2}, RoundTripCase{16, 2}, RoundTripCase{100, 1},
                                           RoundTripCase{16384, 1}, RoundTripCase{40000, 2}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& i) {
                             return "Size" + std::to_string(i.param.nSize) + "V" +
                                    std::to_string(i.param.nVersion);
                         });

// 16,385 bytes: EncSize 16,432, contents 16,400 bytes in two segments, each chained from the file IV.
TEST_F(EncFileTest, ContentsAreSegmentsEachFromTheFileIv)
{
    std::vector<BYTE> data = Pattern(16385);
    std::wstring path = m_dir / L"seg.cfg";
    ASSERT_EQ(ERROR_OK, Store(path, data, 2));
    std::vector<BYTE> file = FileBytes(path);
    ASSERT_EQ(16u + 16432u, file.size());
    LONGLONG encSize;
    memcpy(&encSize, file.data() + 6, 8);
    EXPECT_EQ(16432, encSize);

    BYTE salt[64], iv[16], key[16], rk[240];
    int nRk = 0;
    EncFile::MakeSalt(file.data(), salt);
    EncFile::MakeIv(file.data(), iv);
    ASSERT_EQ(1, EncDll_KeyGen(reinterpret_cast<const BYTE*>(PASS), 16, salt, key, 16));
    ASSERT_EQ(0, DecryptKeyExpansion(key, 16, rk, &nRk));

    std::vector<BYTE> plain(16400);
    ASSERT_EQ(0, DecryptionCBC(file.data() + 48, plain.data(), 16384, rk, nRk, iv));
    ASSERT_EQ(0, DecryptionCBC(file.data() + 48 + 16384, plain.data() + 16384, 16, rk, nRk, iv));
    EXPECT_EQ(data, std::vector<BYTE>(plain.begin(), plain.begin() + 16385));

    // Header 1b is its own two-block chain from the same IV.
    BYTE hd1b[32];
    ASSERT_EQ(0, DecryptionCBC(file.data() + 16, hd1b, 32, rk, nRk, iv));
    LONGLONG size;
    memcpy(&size, hd1b + 8, 8);
    EXPECT_EQ(32, hd1b[0] | (hd1b[1] << 8));
    EXPECT_EQ(0, memcmp(hd1b + 2, file.data() + 1, 2));
    EXPECT_EQ(0, memcmp(hd1b + 4, file.data() + 4, 2));
    EXPECT_EQ(16385, size);
    EXPECT_EQ(0, memcmp(hd1b + 16, PASS, 16));
}

TEST_F(EncFileTest, WrongPassPhraseGives6001WithDump)
{
    std::wstring path = m_dir / L"k.cfg";
    ASSERT_EQ(ERROR_OK, Store(path, Pattern(100), 2));
    std::vector<BYTE> back;
    EXPECT_EQ(ERROR_DECRYPTION_FAILED, Load(path, &back, "0123456789ABCDEF"));
    EXPECT_TRUE(back.empty());
    ASSERT_TRUE(m_trace.WaitFor(L"[EncFile::ReadHeader1b] キーが違います。\u3000｛"));
    ASSERT_TRUE(m_trace.WaitFor(L"[EncFile::Read] ！ReadHeader1b()"));
    // Records may arrive out of order: wait for both dump lines, then order them as written.
    std::vector<DebugRecord> dumps;
    for (DWORD start = GetTickCount(); dumps.size() < 2 && GetTickCount() - start < 5000; Sleep(10))
    {
        dumps.clear();
        for (const DebugRecord& r : m_trace.Records())
            if (r.level == 41 && r.message.find(L"[EncFile::ReadHeader1b] ") == 0)
                dumps.push_back(r);
    }
    ASSERT_EQ(2u, dumps.size());
    std::sort(dumps.begin(), dumps.end(), [](const DebugRecord& a, const DebugRecord& b) {
        return a.time != b.time ? a.time < b.time : a.sequence < b.sequence;
    });
    // The expected bytes first ("0123456789ABCDEF"), then what was decrypted.
    EXPECT_EQ(L"[EncFile::ReadHeader1b] 30 31 32 33 - 34 35 36 37 - 38 39 41 42 - 43 44 45 46 ",
              dumps[0].message);
    EXPECT_EQ(dumps[0].message.size(), dumps[1].message.size());
}

// Header 1b encrypted again under the key its header 1a gives: Rand1 off by r1Delta, the size
// field as given, the pass phrase right.
void RewrapHeader1b(std::vector<BYTE>& file, int r1Delta, LONGLONG llSize)
{
    BYTE salt[64], iv[16], key[16], rk[240];
    int nRk = 0;
    EncFile::MakeSalt(file.data(), salt);
    EncFile::MakeIv(file.data(), iv);
    ASSERT_EQ(1, EncDll_KeyGen(reinterpret_cast<const BYTE*>(PASS), 16, salt, key, 16));
    ASSERT_EQ(0, EncryptKeyExpansion(key, 16, rk, &nRk));
    BYTE hd1b[32] = {32, 0};
    WORD r1 = static_cast<WORD>(49456 + r1Delta), r2 = 11710;
    memcpy(hd1b + 2, &r1, 2);
    memcpy(hd1b + 4, &r2, 2);
    memcpy(hd1b + 8, &llSize, 8);
    memcpy(hd1b + 16, PASS, 16);
    ASSERT_EQ(0, EncryptionCBC(hd1b, file.data() + 16, 32, rk, nRk, iv));
}

// A container of 100 bytes written at tick 0, then spoilt; "%PATH%" in a line stands for its path.
struct DamagedCase
{
    const char* name;
    std::function<void(std::vector<BYTE>&)> spoil;
    int nExpected;
    std::vector<std::wstring> lines;
    const wchar_t* absent;
};

void PrintTo(const DamagedCase& c, std::ostream* os)
{
    *os << c.name;
}

std::function<void(std::vector<BYTE>&)> Replace(const char* hex)
{
    return [hex](std::vector<BYTE>& file) { file = Hex(hex); };
}

std::function<void(std::vector<BYTE>&)> Header1b(int r1Delta, LONGLONG llSize)
{
    return [=](std::vector<BYTE>& file) { RewrapHeader1b(file, r1Delta, llSize); };
}

std::function<void(std::vector<BYTE>&)> Truncate(size_t n)
{
    return [n](std::vector<BYTE>& file) { file.resize(n); };
}

const wchar_t HD1A_FAILED[] = L"[EncFile::Read] ！ReadHeader1a()";

const DamagedCase kDamagedCases[] = {
    // Files that are no container at all.
    {"Utf16",
     Replace("FFFE7B000D000A00220053006500720076006500720022003A007B007D007D00"),
     ERROR_INVALID_DATA,
     {L"[EncFile::ReadHeader1a] 非暗号データ？\u3000hd1a.cb=255.", HD1A_FAILED},
     nullptr},
    {"Short",
     Replace("1030C102BE"),
     ERROR_INVALID_DATA,
     {L"[EncFile::ReadHeader1a] ！ReadFile() cb=5. (need=16).", HD1A_FAILED},
     nullptr},
    {"Rand1",
     Replace("10 E8 00 02 06 EE 9000000000000000 0000"),
     ERROR_INVALID_DATA,
     {L"[EncFile::ReadHeader1a] 非暗号データ？\u3000Rand1=232.", HD1A_FAILED},
     nullptr},
    {"Sum",
     Replace("10 30 C1 02 BF 2D 9000000000000000 A0D1"),
     ERROR_INVALID_DATA,
     {L"[EncFile::ReadHeader1a] 非暗号データ？\u3000R1(0xC130)+R2(0x2DBF)=0xEEEF.", HD1A_FAILED},
     nullptr},
    {"EncSize",
     Replace("10 30 C1 02 BE 2D 9800000000000000 A0D1"),
     ERROR_INVALID_DATA,
     {L"[EncFile::ReadHeader1a] 暗号データサイズ(=152)が不正です。", HD1A_FAILED},
     nullptr},
    // Header 1b written with the right key but wrong fields.
    {"Header1bR1",
     Header1b(1, 100),
     ERROR_DECRYPTION_FAILED,
     {L"[EncFile::ReadHeader1b] キーが違います。hd1a/dec: r1=49456/49457 r2=11710/11710"},
     nullptr},
    {"Header1bSizeNegative",
     Header1b(0, -1),
     ERROR_INVALID_DATA,
     {L"[EncFile::ReadHeader1b] データサイズ不正。enc/dec: size=112/-1"},
     nullptr},
    {"Header1bSizeBeyond",
     Header1b(0, 113),
     ERROR_INVALID_DATA,
     {L"[EncFile::ReadHeader1b] データサイズ不正。enc/dec: size=112/113"},
     nullptr},
    {"Header1bSizeOfTheContents", Header1b(0, 112), ERROR_OK, {}, nullptr},
    // Cut short: the remainder is reported, and a short header 1b is no key mismatch.
    {"ContentsTruncated",
     Truncate(48 + 40),
     ERROR_INVALID_DATA,
     {L"[EncFile::DecryptContents] ！ReadFile\u3000 need=112 cb=40 残り=112.\u3000path=%PATH%",
      L"[EncFile::Read] ！DecryptContents()"},
     nullptr},
    {"Header1bTruncated",
     Truncate(16 + 20),
     ERROR_INVALID_DATA,
     {L"[EncFile::ReadHeader1b] ！ReadFile(%PATH%)"},
     L"キーが違います"},
    // A header may claim contents of up to 2 GB (the largest it may hold); the file's real length
    // decides before anything of that size is allocated. Header 1a is the salt: header 1b is
    // encrypted again under the key it now gives.
    {"ClaimBeyondTheFile",
     [](std::vector<BYTE>& file) {
         const LONGLONG llEncSize = 2000000000;
         memcpy(file.data() + 6, &llEncSize, 8);
         RewrapHeader1b(file, 0, 100);
     },
     ERROR_INVALID_DATA,
     {L"[EncFile::DecryptContents] ！ReadFile\u3000 need=1999999968 cb=112 "
      L"残り=1999999968.\u3000path=%PATH%"},
     nullptr},
};

class EncFileDamaged : public EncFileTest, public ::testing::WithParamInterface<DamagedCase>
{
};

TEST_P(EncFileDamaged, ReadRefusesWithTheReason)
{
    const DamagedCase& c = GetParam();
    EncFileSetTickSource(TickZero);
    std::wstring path = m_dir / L"d.cfg";
    ASSERT_EQ(ERROR_OK, Store(path, Pattern(100), 2));
    std::vector<BYTE> file = FileBytes(path);
    ASSERT_NO_FATAL_FAILURE(c.spoil(file));
    PutFile(path, file);
    m_trace.Clear();

    PROCESS_MEMORY_COUNTERS pmcBefore = {}, pmcAfter = {};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &pmcBefore, sizeof(pmcBefore)));
    std::vector<BYTE> back;
    EXPECT_EQ(c.nExpected, Load(path, &back));
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &pmcAfter, sizeof(pmcAfter)));
    if (c.nExpected != ERROR_OK)
    {
        EXPECT_TRUE(back.empty());
    }
    for (std::wstring line : c.lines)
    {
        size_t at = line.find(L"%PATH%");
        if (at != std::wstring::npos)
            line.replace(at, 6, path);
        EXPECT_TRUE(m_trace.WaitFor(line)) << line;
    }
    if (c.absent != nullptr)
    {
        EXPECT_FALSE(m_trace.Contains(c.absent));
    }
    EXPECT_LT(pmcAfter.PeakPagefileUsage - pmcBefore.PeakPagefileUsage, SIZE_T(256) << 20);
}

INSTANTIATE_TEST_SUITE_P(Cases, EncFileDamaged, ::testing::ValuesIn(kDamagedCases),
                         [](const ::testing::TestParamInfo<DamagedCase>& i) {
                             return std::string(i.param.name);
                         });

TEST_F(EncFileTest, Version3RefusedBeforeAnyKeyIsMade)
{
    std::wstring path = m_dir / L"v3.cfg";
    std::vector<BYTE> bytes = Hex("10 30 C1 03 BE 2D 9000000000000000 A0D1");
    bytes.resize(16 + 144);
    PutFile(path, bytes);
    // A short pass phrase would be refused by the key step: it is never reached.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Load(path, nullptr, "short"));
    ASSERT_TRUE(m_trace.WaitFor(L"[EncFile::Read] ！ReadHeader1a()"));
    bool bWarning = false;
    for (const DebugRecord& r : m_trace.Records())
        bWarning |= (r.level == 22 && r.message == L"[EncFile::ReadHeader1a] 非暗号データ？\u3000Version=3.");
    EXPECT_TRUE(bWarning);
    EXPECT_FALSE(m_trace.Contains(L"MakeRoundKey"));
}

TEST_F(EncFileTest, PassPhraseOf15BytesRefused)
{
    std::wstring path = m_dir / L"p.cfg";
    EXPECT_EQ(ERROR_INVALID_FUNCTION, Store(path, Pattern(40), 2, "123456789012345"));
    EXPECT_TRUE(m_trace.WaitFor(
        L"[EncFile::MakeRoundKey] 復号鍵は16ﾊﾞｲﾄ以上必要です。\u3000len=15 <123456789012345>"));
    EXPECT_TRUE(m_trace.WaitFor(L"[EncFile::Write] ！MakeRoundKey rc=-223."));
    EXPECT_EQ(16u, FileBytes(path).size()); // header 1a only

    ASSERT_EQ(ERROR_OK, Store(path, Pattern(40), 2));
    m_trace.Clear();
    EXPECT_EQ(ERROR_INVALID_FUNCTION, Load(path, nullptr, "123456789012345"));
    EXPECT_TRUE(m_trace.WaitFor(L"[EncFile::Read] ！MakeRoundKey rc=-223."));
}

TEST_F(EncFileTest, EmptyDataWrittenAs48BytesAndRefusedOnReading)
{
    std::wstring path = m_dir / L"e.cfg";
    ASSERT_EQ(ERROR_OK, Store(path, {}, 2));
    std::vector<BYTE> file = FileBytes(path);
    ASSERT_EQ(48u, file.size());
    EXPECT_EQ(32, file[6]);
    EXPECT_EQ(ERROR_INVALID_DATA, Load(path, nullptr));
    EXPECT_TRUE(m_trace.WaitFor(L"[EncFile::ReadHeader1b] 暗号データサイズ(=32)が不正です。"));
}

TEST_F(EncFileTest, WriteRefusesWhatCannotBeStored)
{
    std::wstring path = m_dir / L"w.cfg";
    {
        EncFile ef; // no file open
        Prepare(ef, 2);
        EXPECT_EQ(ERROR_INVALID_FUNCTION, ef.Write());
        EXPECT_EQ(ERROR_INVALID_FUNCTION, ef.Read());
    }
    EXPECT_TRUE(m_trace.WaitFor(L"[EncFile::Write] ！m_hFile  strPath=<> szPath=<>."));
    {
        EncFile ef; // too large: refused before anything is written
        Prepare(ef, 2);
        ASSERT_EQ(ERROR_OK, ef.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS));
        ef.m_nData = 1999999969;
        EXPECT_EQ(ERROR_INVALID_DATA, ef.Write());
        ef.m_nData = 0;
        ef.Close();
        EXPECT_EQ(0u, FileBytes(path).size());
    }
    EXPECT_TRUE(m_trace.WaitFor(
        L"[EncFile::WriteHeader1a] データサイズ(=1999999969)が大きすぎます。(EncSize=2000000016)"));
    {
        EncFile ef; // version 0: nothing written
        Prepare(ef, 0);
        ASSERT_EQ(ERROR_OK, ef.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS));
        ASSERT_TRUE(ef.SetData("x", 1));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, ef.Write());
        ef.Close();
        EXPECT_EQ(0u, FileBytes(path).size());
    }
    EXPECT_TRUE(m_trace.WaitFor(L"[EncFile::WriteHeader1a] ！Version=0."));
}

TEST_F(EncFileTest, SetDataRefusesNegativeLength)
{
    EncFile ef;
    ASSERT_TRUE(ef.SetData("abc", 3));
    SetLastError(0);
    EXPECT_FALSE(ef.SetData("abc", -1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, ef.GetData());
    EXPECT_EQ(0, ef.GetDataSize());
}

TEST_F(EncFileTest, OpenRetriesSharingViolationsTenTimes)
{
    std::vector<DWORD> sleeps;
    GpSeam().SleepFn = [&sleeps](DWORD ms) { sleeps.push_back(ms); };
    std::wstring path = m_dir / L"locked.cfg";
    GpFile held(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.IsValid());
    EncFile ef;
    EXPECT_EQ(ERROR_SHARING_VIOLATION, ef.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_EQ(std::vector<DWORD>(10, 1000), sleeps);
    EXPECT_EQ(INVALID_HANDLE_VALUE, ef.FileHandle());
    held.Reset();

    sleeps.clear();
    EXPECT_EQ(ERROR_OK, ef.Open(nullptr, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING)); // same path again
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(path, std::wstring(ef.m_strPath.c_str()));

    // Other errors come back at once.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              ef.Open((m_dir / L"missing.cfg").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(EncFileTest, OpenWithoutAnyPathGives1)
{
    EncFile ef;
    EXPECT_EQ(ERROR_INVALID_FUNCTION, ef.Open(L"", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_TRUE(m_trace.WaitFor(L"[EncFile::Open] ！Path\u3000"));
}
} // namespace
