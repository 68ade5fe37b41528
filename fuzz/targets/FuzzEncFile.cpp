// The encrypted container reader; the structure-aware variant re-encrypts its headers so that
// the reader gets past the key check.
#include "common/GpResult.h"
#include "enc/EncFile.h"
#include "fuzz/FuzzHarness.h"
#include "fuzz/FuzzSeeds.h"

using namespace lumofuzz;

namespace
{
std::wstring g_path;
Bytes g_key;
std::vector<Bytes> g_plains;

DWORD FixedTick()
{
    return 123456;
}

Bytes WriteWithEncFile(const Bytes& plain, BYTE version)
{
    EncFile ef;
    ef.SetKey(g_key.data(), static_cast<int>(g_key.size()));
    ef.m_nEncVersion = version;
    std::wstring path = ScratchRoot() + L"\\seed.bin";
    if (ef.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS) != ERROR_OK ||
        !ef.SetData(plain.data(), static_cast<int>(plain.size())) || ef.Write() != ERROR_OK)
        return Bytes();
    ef.Close();
    return ReadWholeFile(path);
}
} // namespace

Target MakeTarget()
{
    g_path = ScratchRoot() + L"\\container.bin";
    g_key = SettingsKey();
    EncFileSetTickSource(FixedTick);
    for (const std::wstring& text : JsonSeedTexts())
        g_plains.push_back(Utf16Bytes(text));
    g_plains.push_back(Bytes());
    g_plains.push_back(Bytes(16384, 'z') + "tail");

    Target t;
    t.name = "encfile";
    for (size_t i = 0; i < g_plains.size(); i++)
        t.seeds.push_back(WriteWithEncFile(g_plains[i], i % 3 == 0 ? 1 : 2));
    t.mutator.maxLen = 65536;
    MutatorOptions plainMutator = t.mutator;
    t.structured = [plainMutator](Rng& rng, const Bytes&, const std::vector<Bytes>& corpus) {
        return MutateContainer(rng, g_key, g_plains[rng.Below(g_plains.size())], corpus, plainMutator);
    };
    t.run = [](const Bytes& input) {
        WriteWholeFile(g_path, input);
        EncFile ef;
        ef.SetKey(g_key.data(), static_cast<int>(g_key.size()));
        ef.m_nEncVersion = 2;
        int rc = ef.Open(g_path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (rc == ERROR_OK)
        {
            rc = ef.Read();
            // Whatever the reader hands out must be readable to its stated end.
            volatile BYTE sum = 0;
            const BYTE* p = ef.GetData();
            for (int i = 0; p != nullptr && i < ef.GetDataSize(); i++)
                sum = static_cast<BYTE>(sum + p[i]);
            ef.Close();
        }
        return rc;
    };
    return t;
}
