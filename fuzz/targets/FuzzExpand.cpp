// Archive expansion as the agent does it: a whole archive file expanded into a sandbox folder.
// Nothing may appear beside the destination, and the canary folder next to it stays as it was.
#include "common/GpResult.h"
#include "fuzz/FuzzHarness.h"
#include "fuzz/FuzzSeeds.h"
#include "fuzz/FuzzZip.h"
#include "zip/ZLibExpand.h"

using namespace lumofuzz;

namespace
{
struct Sandbox
{
    std::wstring root, box, dest, in, archive, canary;
    std::vector<std::wstring> baseline;
};
Sandbox g_box;
} // namespace

Target MakeTarget()
{
    Sandbox& s = g_box;
    s.root = ScratchRoot();
    s.box = s.root + L"\\box";
    s.dest = s.box + L"\\dest";
    s.in = s.root + L"\\in";
    s.archive = s.in + L"\\patch.zip";
    s.canary = s.root + L"\\canary";
    CreateDirectoryW(s.box.c_str(), nullptr);
    CreateDirectoryW(s.in.c_str(), nullptr);
    CreateDirectoryW(s.canary.c_str(), nullptr);
    WriteWholeFile(s.canary + L"\\keep.txt", "canary");
    WriteWholeFile(s.archive, "");

    Target t;
    t.name = "expand";
    t.seeds = ZipSeeds();
    s.baseline = ListTree(s.root, {s.dest, s.archive});
    t.mutator.maxLen = 32768; // expansion output stays a few megabytes at most
    // Record signatures and counts, so that directories break and end in the middle.
    for (const char* psz : {"PK\x01\x02", "PK\x03\x04", "PK\x05\x06", "PK\x06\x06", "PK\x06\x07"})
        t.mutator.dictionary.push_back(Bytes(psz, 4));
    t.mutator.dictionary.push_back(Bytes("\xFF\xFF", 2));
    MutatorOptions blind = t.mutator;
    t.structured = [blind](Rng& rng, const Bytes& base, const std::vector<Bytes>& corpus) {
        return MutateZip(rng, base, corpus, blind);
    };
    t.run = [](const Bytes& input) {
        WriteWholeFile(g_box.archive, input);
        return ZLibExpand(g_box.archive.c_str(), (g_box.dest + L"\\").c_str());
    };
    t.checkOutside = [](std::string& why) {
        std::vector<std::wstring> now = ListTree(g_box.root, {g_box.dest, g_box.archive});
        bool ok = now == g_box.baseline;
        if (!ok)
        {
            why = "the sandbox outside the destination changed:";
            for (const std::wstring& line : now)
            {
                char sz[600];
                wsprintfA(sz, " <%.500S>", line.c_str());
                why += sz;
                if (why.size() > 700)
                    break;
            }
        }
        // Names that climb further than the sandbox: every folder above it, up to the drive root.
        std::wstring up = g_box.root;
        for (size_t cut; ok && (cut = up.find_last_of(L'\\')) != std::wstring::npos;)
        {
            up.resize(cut);
            std::wstring probe = up + L"\\escape.txt";
            if (GetFileAttributesW(probe.c_str()) != INVALID_FILE_ATTRIBUTES)
            {
                char sz[600];
                wsprintfA(sz, "written above the sandbox: <%.500S>", probe.c_str());
                why = sz;
                ok = false;
            }
        }
        RemoveTree(g_box.dest);
        return ok;
    };
    return t;
}
