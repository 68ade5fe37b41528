// "PatchConfig.xml" as the agent reads it: the document, the readers of GetPatchInfo and the
// digest text.
#include "app/LumoAgentApp.h"
#include "fuzz/FuzzHarness.h"
#include "fuzz/FuzzSeeds.h"
#include "xml/CPatchXml.h"
#include "common/GpComHandles.h"
#include "xml/PatchDigest.h"

using namespace lumofuzz;

namespace
{
std::wstring g_work;

// Attribute texts the readers must take as data: too long for their buffers, numbers out of
// range, line breaks, brackets and other control characters, digests of every length.
std::string AttributeValue(Rng& rng, const std::string& usual)
{
    static const char* const s_values[] = {"",
                                           " ",
                                           "-1",
                                           "0",
                                           "2147483647",
                                           "2147483648",
                                           "-2147483649",
                                           "99999999999999999999",
                                           "0x10",
                                           "1e9",
                                           "12abc",
                                           "&#10;[Section]&#10;Key=1",
                                           "a&#13;&#10;b",
                                           "[x]",
                                           "a=b",
                                           "&#9;",
                                           "&#1;&#2;&#31;",
                                           "&lt;&gt;&amp;&quot;",
                                           "..\\..\\x",
                                           "C:\\Windows",
                                           "%s%n%x",
                                           "\xE3\x81\x82"};
    switch (rng.Below(6))
    {
    case 0:
        return usual;
    case 1:
    case 2:
        return s_values[rng.Below(sizeof(s_values) / sizeof(s_values[0]))];
    case 3: // long text around the readers' 260-character buffers
    {
        static const size_t s_lengths[] = {259, 260, 261, 520, 1024, 5000};
        return std::string(s_lengths[rng.Below(6)], static_cast<char>('A' + rng.Below(26)));
    }
    case 4: // hexadecimal digits of any length, blanks between
    {
        std::string hex;
        size_t n = rng.Below(140);
        for (size_t i = 0; i < n; i++)
            hex += rng.OneIn(20) ? ' ' : "0123456789abcdefABCDEFxg"[rng.Below(24)];
        return hex;
    }
    default: {
        std::string v = usual;
        MutatorOptions opt;
        opt.maxLen = 600;
        v = Mutate(rng, v, {}, opt);
        std::string safe;
        for (char c : v)
            safe += (c == '<' || c == '&' || c == '"')
                        ? std::string("&#") + std::to_string(static_cast<unsigned char>(c)) + ";"
                        : std::string(1, c);
        return safe;
    }
    }
}

// A well-formed document with hostile values, elements left out, doubled or moved.
Bytes WellFormed(Rng& rng)
{
    struct Element
    {
        const char* name;
        std::vector<std::pair<const char*, const char*>> attrs;
    };
    const Element elements[] = {{"ConfigInfo", {{"ConfigFileVersion", "1"}}},
                                {"ProductInfo",
                                 {{"Pid", "QVC-FUZZ"},
                                  {"Version", "6.61.0.1"},
                                  {"RangeBegin", "6.60.0.0"},
                                  {"RangeEnd", "6.69.9.9"},
                                  {"ApplicableCondition", "1"}}},
                                {"PatchInfo",
                                 {{"X86CommonZipFileDigest", "0123456789abcdef0123456789ABCDEF01234567"},
                                  {"X86CommonZipFileSize", "1234"}}}};
    std::string body;
    for (const Element& e : elements)
    {
        size_t nCopies = rng.OneIn(10) ? 0 : rng.OneIn(10) ? 2 : 1;
        for (size_t c = 0; c < nCopies; c++)
        {
            body += std::string("  <") + e.name;
            for (const auto& a : e.attrs)
            {
                if (!rng.OneIn(10))
                    body += std::string(" ") + a.first + "=\"" + AttributeValue(rng, a.second) + "\"";
            }
            body += rng.OneIn(8) ? "><Child/></" + std::string(e.name) + ">\r\n" : "/>\r\n";
        }
    }
    std::string root = rng.OneIn(20) ? "Other" : "PatchConfig";
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<" + root + ">\r\n" + body + "</" + root + ">\r\n";
    if (!rng.OneIn(8))
        return text;
    // The same document in UTF-16 with its mark.
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &w[0], n);
    size_t at = w.find(L"UTF-8");
    if (at != std::wstring::npos)
        w.replace(at, 5, L"UTF-16");
    return "\xFF\xFE" + Utf16Bytes(w);
}
} // namespace

Target MakeTarget()
{
    // Every input is read on this thread: one apartment for the whole run.
    static GpComApartment s_com;
    g_work = ScratchRoot() + L"\\Work\\";
    CreateDirectoryW(g_work.c_str(), nullptr);
    Target t;
    t.name = "patchxml";
    t.seeds = PatchConfigSeeds();
    t.mutator.maxLen = 16384;
    for (const char* psz : {"<",
                            ">",
                            "\"",
                            "'",
                            "=",
                            "&amp;",
                            "&#0;",
                            "&#x10FFFF;",
                            "<!DOCTYPE a [<!ENTITY e \"x\">]>",
                            "&e;",
                            "<![CDATA[",
                            "]]>",
                            "<!--",
                            "-->",
                            "<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
                            "<ProductInfo ",
                            "<PatchInfo ",
                            "<ConfigInfo ",
                            "Pid=\"",
                            "Version=\"",
                            "X86CommonZipFileDigest=\"",
                            "X86CommonZipFileSize=\"",
                            "ConfigFileVersion=\"",
                            "ApplicableCondition=\"",
                            "\r\n",
                            "\xEF\xBB\xBF",
                            "\xFF\xFE"})
        t.mutator.dictionary.push_back(psz);
    t.structured = [](Rng& rng, const Bytes&, const std::vector<Bytes>&) { return WellFormed(rng); };
    t.run = [](const Bytes& input) {
        WriteWholeFile(g_work + L"PatchConfig.xml", input);
        LumoAgentApp app;
        PatchFileInfo info;
        int outcome = app.GetPatchInfo(g_work.c_str(), info) ? 100 : app.m_nExtInfo;
        BYTE digest[PATCH_DIGEST_BUFFER_BYTES];
        int nAt = PatchDigestBytes(info.Digest.c_str(), digest);
        return outcome * 4 + (nAt < 0 ? nAt + 3 : 3);
    };
    return t;
}
