// JsonFile::Load of a plain (UTF-16 with or without its mark) or an encrypted settings file.
// The first byte of an input chooses: 'P' plain, anything else encrypted.
#include "fuzz/FuzzHarness.h"
#include "fuzz/FuzzSeeds.h"
#include "json/JsonFile.h"
#include "fuzz/targets/JsonDictionary.h"

using namespace lumofuzz;

namespace
{
std::wstring g_path;
Bytes g_key;
std::vector<Bytes> g_texts;
} // namespace

Target MakeTarget()
{
    g_path = ScratchRoot() + L"\\settings.json";
    g_key = SettingsKey();
    Target t;
    t.name = "jsonfile";
    for (const std::wstring& text : JsonSeedTexts())
    {
        Bytes utf16 = Utf16Bytes(text);
        g_texts.push_back(utf16);
        t.seeds.push_back("P\xFF\xFE" + utf16);
        ContainerSpec spec;
        spec.key = g_key;
        spec.contents = utf16;
        t.seeds.push_back("E" + BuildContainer(spec));
    }
    t.seeds.push_back("P" + g_texts[0]);
    t.mutator.maxLen = 262144;
    t.mutator.dictionary = JsonDictionary();
    MutatorOptions textMutator = t.mutator;
    textMutator.unit = 2;
    t.structured = [textMutator](Rng& rng, const Bytes&, const std::vector<Bytes>& corpus) {
        const Bytes& text = g_texts[rng.Below(g_texts.size())];
        if (rng.OneIn(3))
            return "P" + Bytes(rng.OneIn(4) ? "" : "\xFF\xFE") + Mutate(rng, text, corpus, textMutator);
        return "E" + MutateContainer(rng, g_key, text, corpus, textMutator);
    };
    t.run = [](const Bytes& input) {
        bool bPlain = !input.empty() && input[0] == 'P';
        WriteWholeFile(g_path, input.empty() ? input : input.substr(1));
        JsonFile doc;
        if (bPlain)
            doc.m_ef.m_nEncVersion = 0;
        int rc = doc.Load(g_path.c_str());
        if (rc == 1)
        {
            VString out;
            doc.WriteObject(&doc.m_root, out);
        }
        return rc * 2 + (bPlain ? 1 : 0);
    };
    return t;
}
