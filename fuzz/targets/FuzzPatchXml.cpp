// "PatchConfig.xml" as the agent reads it: the document, the readers of GetPatchInfo and the
// digest text.
#include <objbase.h>

#include "app/LumoAgentApp.h"
#include "fuzz/FuzzHarness.h"
#include "fuzz/FuzzSeeds.h"
#include "xml/CPatchXml.h"
#include "xml/PatchDigest.h"

using namespace lumofuzz;

namespace
{
std::wstring g_work;
}

Target MakeTarget()
{
    CoInitialize(nullptr);
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
