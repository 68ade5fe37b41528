#include "fuzz/FuzzSeeds.h"

#include <map>

#include "common/GpHandles.h"
#include "enc/EncFile.h"
#include "enc/aes197.h"
#include "enc/keygeneration.h"
#include "json/JsonFile.h"
#include "tools/PatchBuilder/PatchBuild.h"
#include "tools/PatchBuilder/ZexlRecord.h"
#include "tools/PatchBuilder/ZipWriter.h"

namespace lumofuzz
{
namespace
{
constexpr int SEGMENT = 16384;

FILETIME SomeTime()
{
    SYSTEMTIME st = {2024, 5, 0, 17, 9, 30, 12, 0};
    FILETIME ft = {};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

std::vector<BYTE> Record(const std::wstring& path)
{
    return MakeZexlRecord(path);
}

bool WriteSmallZip(const std::wstring& path, int nKind)
{
    ZipWriter zip;
    if (!zip.Create(path))
        return false;
    FILETIME ft = SomeTime();
    std::vector<BYTE> none;
    bool ok = true;
    switch (nKind)
    {
    case 0: // stored and compressed files in folders
        ok = zip.AddFolder("data/", none, FILE_ATTRIBUTE_DIRECTORY, ft) &&
             zip.AddBytes("data/readme.txt", none, ft, "hello, patch\r\n") &&
             zip.AddBytes("data/sub/table.csv", none, ft, std::string(600, 'x') + "1,2,3\r\n") &&
             zip.AddBytes("top.bin", none, ft, std::string("\x00\x01\x02\xFF", 4));
        break;
    case 1: // UTF-16 paths in extra records
        ok = zip.AddFolder("f1/", Record(L"\u30D5\u30A9\u30EB\u30C0\\"), FILE_ATTRIBUTE_DIRECTORY, ft) &&
             zip.AddBytes("f1/a.txt", Record(L"\u30D5\u30A9\u30EB\u30C0\\\u8AAC\u660E.txt"), ft, "text") &&
             zip.AddBytes("b.txt", Record(L"b.txt"), ft, std::string(100, 'b'));
        break;
    default: // one empty file, hidden folder
        ok = zip.AddFolder("hidden/", none, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, ft) &&
             zip.AddBytes("hidden/empty.dat", none, ft, "");
        break;
    }
    return zip.Close() && ok;
}

// Damaged directories: the walk must fail where the directory breaks, not end there as if complete.
void AddBrokenDirectories(const Bytes& zip, std::vector<Bytes>& seeds)
{
    std::vector<size_t> records;
    for (size_t at = zip.find("PK\x01\x02"); at != Bytes::npos; at = zip.find("PK\x01\x02", at + 4))
        records.push_back(at);
    if (records.size() < 3)
        return;
    Bytes broken = zip; // the third record's signature
    broken[records[2] + 3] = '\x03';
    seeds.push_back(broken);
    Bytes overlong = zip; // the last record's name runs into the end record
    overlong[records.back() + 28] = static_cast<char>(overlong[records.back() + 28] + 12);
    seeds.push_back(overlong);
}
} // namespace

std::vector<Bytes> ZipSeeds()
{
    std::vector<Bytes> seeds;
    std::wstring dir = ScratchRoot() + L"\\seeds";
    CreateDirectoryW(dir.c_str(), nullptr);
    for (int kind = 0; kind < 3; kind++)
    {
        std::wstring path = dir + L"\\small" + std::to_wstring(kind) + L".zip";
        if (WriteSmallZip(path, kind))
            seeds.push_back(ReadWholeFile(path));
    }
    if (!seeds.empty())
        AddBrokenDirectories(seeds.front(), seeds);
    // A whole patch as the builder makes it, with and without path records.
    std::wstring src = dir + L"\\src";
    CreateDirectoryW(src.c_str(), nullptr);
    CreateDirectoryW((src + L"\\lib").c_str(), nullptr);
    WriteWholeFile(src + L"\\PatchMain.exe", Bytes("MZ-not-really-a-program"));
    WriteWholeFile(src + L"\\lib\\data.txt", Bytes(300, 'd'));
    // Fixed times: the same seed gives the same archives, and so the same campaign.
    FILETIME ft = SomeTime();
    for (const wchar_t* psz : {L"\\PatchMain.exe", L"\\lib\\data.txt", L"\\lib"})
    {
        GpFile file(CreateFileW((src + psz).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (file)
            SetFileTime(file.Get(), &ft, &ft, &ft);
    }
    for (int z = 0; z < 2; z++)
    {
        PatchBuildOptions options;
        options.sourceDir = src;
        options.outDir = dir + L"\\out" + std::to_wstring(z);
        CreateDirectoryW(options.outDir.c_str(), nullptr);
        options.pid = L"QVC-FUZZ";
        options.version = L"6.61.0.1";
        options.rangeBegin = L"6.60.0.0";
        options.rangeEnd = L"6.69.9.9";
        options.bZexl = z == 1;
        std::wstring patch;
        if (BuildPatch(options, patch))
            seeds.push_back(ReadWholeFile(patch));
    }
    RemoveTree(dir);
    return seeds;
}

std::vector<Bytes> PatchConfigSeeds()
{
    std::vector<Bytes> seeds;
    const wchar_t* const digests[] = {L"0123456789abcdef0123456789ABCDEF01234567", L"", L" 1 2 3",
                                      L"00000000000000000000000000000000000000000000000000000000000000000000"
                                      L"00000000000000000000000000000000"};
    const wchar_t* const sizes[] = {L"1234", L"0", L"-1", L"2147483648"};
    for (int i = 0; i < 4; i++)
    {
        PatchBuildOptions options;
        options.pid = i == 2 ? L"" : L"QVC-FUZZ";
        options.version = L"6.61.0.1";
        options.rangeBegin = L"6.60.0.0";
        options.rangeEnd = i == 3 ? L"" : L"6.69.9.9";
        seeds.push_back(MakePatchConfig(options, digests[i], sizes[i]));
    }
    return seeds;
}

std::vector<std::wstring> JsonSeedTexts()
{
    static const wchar_t* const texts[] = {
        L"{\"Client\":{\"LeaveCache\":0,\"Cache\":{\"Dir\":\"C:\\\\ProgramData\\\\TAVR\",\"Max\":1024},"
        L"\"Servers\":[\"a.example\",\"b.example\",{\"Port\":8443,\"Tls\":true}]},\"Version\":\"6.61\"}",
        L"{\"a\":[1,2.5e3,-0.1,true,false,null,[],{}],\"b\":\"\\u3042\\\"q\\\\\",\"c\":{\"d\":{\"e\":[[[1]]]}"
        L"}}",
        L"{ /* comment */ \"x\" : \"piece one\" \"piece two\", // line\n \"y\": [ \"s\" , 1 ] }",
        L"{}",
        L"{\"LeaveCache\":1,\"List\":["
        L"\"1\",\"2\",\"3\",\"4\",\"5\",\"6\",\"7\",\"8\",\"9\",\"10\"]}",
    };
    std::vector<std::wstring> out;
    for (const wchar_t* psz : texts)
    {
        // Through the parser and the writer: the seeds are what the product itself writes.
        JsonFile doc;
        doc.m_nIndent = static_cast<int>(out.size() % 2) * 2;
        VString text;
        if (doc.Parse(psz) >= 0 && doc.WriteObject(&doc.m_root, text) == 1 && !text.IsEmpty())
            out.push_back(text.c_str());
        out.push_back(psz);
    }
    return out;
}

Bytes SettingsKey()
{
    JsonFile doc;
    const TmArray<BYTE>& key = doc.m_ef.m_key;
    int n = key.GetSize() > 0 ? key.GetSize() - 1 : 0;
    return Bytes(reinterpret_cast<const char*>(const_cast<TmArray<BYTE>&>(key).GetData()),
                 static_cast<size_t>(n));
}

Bytes BuildContainer(const ContainerSpec& spec)
{
    // Deriving a key costs thousands of HMACs: keep the round keys of recent headers.
    static std::map<Bytes, Bytes> s_roundKeys;

    Bytes padded = spec.contents;
    padded.resize((padded.size() + 15) / 16 * 16, '\0');
    if (padded.empty())
        padded.assign(16, '\0');
    int64_t encSize = spec.encSize >= 0 ? spec.encSize : static_cast<int64_t>(32 + padded.size());
    uint32_t rand1 = spec.rand1;
    uint32_t rand2 = (0xEEEE - rand1) & 0xFFFF;

    Bytes hd1a(16, '\0');
    hd1a[0] = static_cast<char>(spec.cb1a);
    PutLe16(hd1a, 1, rand1);
    hd1a[3] = static_cast<char>(spec.version);
    PutLe16(hd1a, 4, rand2);
    PutLe32(hd1a, 6, static_cast<uint32_t>(encSize));
    PutLe32(hd1a, 10, static_cast<uint32_t>(static_cast<uint64_t>(encSize) >> 32));
    PutLe16(hd1a, 14, (rand1 * rand2) & 0xFFFF);

    int nKeyLen = spec.version == 1 ? 32 : 16;
    Bytes cacheKey = hd1a + spec.key;
    auto found = s_roundKeys.find(cacheKey);
    Bytes roundKey;
    if (found != s_roundKeys.end())
        roundKey = found->second;
    else
    {
        BYTE salt[PBKDF2_SALT_LEN];
        EncFile::MakeSalt(reinterpret_cast<const BYTE*>(hd1a.data()), salt);
        BYTE key[32] = {};
        BYTE rk[240] = {};
        int nRk = 0;
        if (EncDll_KeyGen(reinterpret_cast<const BYTE*>(spec.key.data()), static_cast<int>(spec.key.size()),
                          salt, key, nKeyLen) < 0 ||
            EncryptKeyExpansion(key, nKeyLen, rk, &nRk) < 0)
            return hd1a;
        roundKey.assign(reinterpret_cast<const char*>(rk), static_cast<size_t>(nRk));
        if (s_roundKeys.size() > 64)
            s_roundKeys.clear();
        s_roundKeys[cacheKey] = roundKey;
    }
    const BYTE* pRk = reinterpret_cast<const BYTE*>(roundKey.data());
    int nRk = static_cast<int>(roundKey.size());
    BYTE iv[16];
    EncFile::MakeIv(reinterpret_cast<const BYTE*>(hd1a.data()), iv);

    Bytes hd1b(32, '\0');
    PutLe16(hd1b, 0, spec.cb1b);
    PutLe16(hd1b, 2, rand1 + static_cast<uint32_t>(spec.r1Delta));
    PutLe16(hd1b, 4, rand2);
    int64_t plainSize = spec.plainSize >= 0 || spec.plainSize < -1
                            ? spec.plainSize
                            : static_cast<int64_t>(spec.contents.size());
    PutLe32(hd1b, 8, static_cast<uint32_t>(plainSize));
    PutLe32(hd1b, 12, static_cast<uint32_t>(static_cast<uint64_t>(plainSize) >> 32));
    for (size_t i = 0; i < 16; i++)
        hd1b[16 + i] = i < spec.key.size() ? spec.key[i] : '\0';
    if (spec.badKeyCheck)
        hd1b[31] ^= 0x5A;

    Bytes out = hd1a;
    Bytes block(32, '\0');
    EncryptionCBC(reinterpret_cast<const BYTE*>(hd1b.data()), reinterpret_cast<BYTE*>(&block[0]), 32, pRk,
                  nRk, iv);
    out += block;
    for (size_t at = 0; at < padded.size(); at += SEGMENT)
    {
        size_t n = std::min<size_t>(SEGMENT, padded.size() - at);
        Bytes seg(n, '\0');
        EncryptionCBC(reinterpret_cast<const BYTE*>(padded.data() + at), reinterpret_cast<BYTE*>(&seg[0]),
                      static_cast<int>(n), pRk, nRk, iv);
        out += seg;
    }
    if (spec.truncateTo >= 0 && static_cast<size_t>(spec.truncateTo) < out.size())
        out.resize(static_cast<size_t>(spec.truncateTo));
    return out;
}

Bytes MutateContainer(Rng& rng, const Bytes& key, const Bytes& plain, const std::vector<Bytes>& corpus,
                      const MutatorOptions& plainMutator)
{
    ContainerSpec spec;
    spec.key = key;
    spec.version = rng.OneIn(4) ? 1 : 2;
    // A handful of header randoms, so that most keys come from the cache.
    static const uint32_t s_rand1[] = {236, 1000, 30000, 57024};
    spec.rand1 = s_rand1[rng.Below(4)];
    spec.contents = rng.OneIn(3) ? plain : Mutate(rng, plain, corpus, plainMutator);
    size_t natural = 32 + (spec.contents.size() + 15) / 16 * 16;
    switch (rng.Below(8))
    {
    case 0: // header 1b's size: negative, past the contents, huge
    {
        static const int64_t s_sizes[] = {0, -2, -1099511627776LL, 1, 0x7FFFFFFF, 0xFFFFFFFFLL};
        spec.plainSize =
            rng.OneIn(2) ? s_sizes[rng.Below(6)] : static_cast<int64_t>(natural - 32 + rng.Below(64));
        break;
    }
    case 1: // header 1a's size, up to the largest a header may claim and past it
    {
        static const int64_t s_claims[] = {0,   16,         32,         48,         33,
                                           -16, 1999999984, 2000000000, 2000000016, 0x7FFFFFF0};
        spec.encSize = rng.OneIn(2)
                           ? s_claims[rng.Below(10)]
                           : static_cast<int64_t>(natural) + 16 * static_cast<int64_t>(rng.Below(128)) - 512;
        break;
    }
    case 2:
        spec.r1Delta = 1 + static_cast<int32_t>(rng.Below(3));
        break;
    case 3:
        spec.truncateTo = static_cast<int64_t>(rng.Below(natural + 1));
        break;
    case 4:
        spec.badKeyCheck = true;
        break;
    case 5:
        if (rng.OneIn(2))
            spec.cb1a = static_cast<uint32_t>(rng.Below(256));
        else
            spec.cb1b = InterestingValue(rng);
        break;
    default: // a well-formed container around mutated contents
        break;
    }
    return BuildContainer(spec);
}
} // namespace lumofuzz
