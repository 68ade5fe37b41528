// The settings text parser, and the writer and the path look-up over what it built.
#include "fuzz/FuzzHarness.h"
#include "fuzz/FuzzSeeds.h"
#include "json/JsonFile.h"
#include "fuzz/targets/JsonDictionary.h"

using namespace lumofuzz;

Target MakeTarget()
{
    Target t;
    t.name = "jsontext";
    for (const std::wstring& text : JsonSeedTexts())
        t.seeds.push_back(Utf16Bytes(text));
    t.mutator.unit = 2;
    // Kept short for now: joined string pieces and growing arrays still cost quadratic time
    // (being mended separately).
    t.mutator.maxLen = 262144;
    t.mutator.dictionary = JsonDictionary();
    t.run = [](const Bytes& input) {
        std::wstring text = BytesToWide(input);
        JsonFile doc;
        int rc = doc.Parse(text.c_str());
        if (rc < 0)
            return rc;
        VString out;
        doc.WriteObject(&doc.m_root, out);
        for (const wchar_t* path :
             {L"Client.Servers[1]", L"a[7]", L"c.d.e[0][0]", L"LeaveCache", L"x", L"[0]", L"."})
            doc.m_root.FindValue(path);
        return 1000 + (doc.m_root.GetCount() < 50 ? doc.m_root.GetCount() : 50);
    };
    return t;
}
