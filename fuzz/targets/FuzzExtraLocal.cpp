// The entry extra record reader over every entry of a mutated archive.
#include "common/GpResult.h"
#include "fuzz/FuzzHarness.h"
#include "fuzz/FuzzSeeds.h"
#include "fuzz/FuzzZip.h"
#include "zip/ZLibExtraLocal.h"
#include "zip/GpUnzFile.h"
#include "zip/ZLibFileFunc.h"

using namespace lumofuzz;

namespace
{
std::wstring g_archive;
}

Target MakeTarget()
{
    g_archive = ScratchRoot() + L"\\entry.zip";
    Target t;
    t.name = "extralocal";
    t.seeds = ZipSeeds();
    t.mutator.maxLen = 32768;
    MutatorOptions blind = t.mutator;
    t.structured = [blind](Rng& rng, const Bytes& base, const std::vector<Bytes>& corpus) {
        return MutateZip(rng, base, corpus, blind);
    };
    t.run = [](const Bytes& input) {
        WriteWholeFile(g_archive, input);
        zlib_filefunc64_def ff;
        FillWin32FileFunc64W(&ff);
        GpUnzFile archive(unzOpen2_64(g_archive.c_str(), &ff));
        if (!archive)
            return -1;
        unzFile uf = archive.Get();
        int outcome = 0;
        int rc = unzGoToFirstFile(uf);
        for (int i = 0; i < 64 && rc == UNZ_OK; i++)
        {
            if (unzOpenCurrentFilePassword(uf, nullptr) == UNZ_OK)
            {
                ZLibExtraLocal extra;
                int n = extra.LoadStream(uf);
                // The path must be a terminated text inside its own block.
                if (n == ERROR_OK)
                    outcome |= extra.RelPath.GetLength() > 0 ? 1 : 2;
                else
                    outcome |= n == ERROR_NON ? 4 : 8;
                unzCloseCurrentFile(uf);
            }
            rc = unzGoToNextFile(uf);
        }
        return outcome;
    };
    return t;
}
