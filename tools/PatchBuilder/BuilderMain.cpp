// QvPatchBuilder: builds patch archives for release engineers and checks existing ones.
#include <windows.h>

#include <string>

#include "tools/PatchBuilder/BuilderText.h"

#include "tools/PatchBuilder/PatchBuild.h"
#include "tools/PatchBuilder/PatchVerify.h"
#include "tools/common/ToolArgs.h"

namespace
{
const wchar_t* const USAGE =
    L"QvPatchBuilder - builds and checks Quovera Client patch archives\n"
    L"\n"
    L"  QvPatchBuilder build /src=<folder> /pid=<product id> /version=<version>\n"
    L"                 [/begin=<version>] [/end=<version>] [/out=<folder>] [/zexl]\n"
    L"                 [/installdir=<folder>] [/digest=<text>] [/size=<text>]\n"
    L"      Packs every file and folder of <folder>, which must hold PatchMain.exe, into the\n"
    L"      inner archive x86\\common\\x86_common.zip, writes PatchConfig.xml with the product id,\n"
    L"      version, range and the inner archive's size and SHA-1 digest, and packs both into\n"
    L"      <out>\\QVClient_v<version>.zip (default: the current folder).\n"
    L"      /zexl      gives every entry a record with its UTF-16 path, for names that the ANSI\n"
    L"                 code page cannot hold\n"
    L"      /installdir= checks the paths against this install folder, as verify does\n"
    L"      /digest=, /size=  write these texts instead of the computed values (test patches,\n"
    L"                 not verified)\n"
    L"      The patch is verified as below; one that fails is removed.\n"
    L"\n"
    L"  QvPatchBuilder verify <patch.zip> [/installdir=<folder>]\n"
    L"      Checks a patch offline the way the updater does before installing it and prints\n"
    L"      the verdict. /installdir= is the client's InstallLocation as the PCs store it\n"
    L"      (ending with a backslash): every path the updater writes under it is checked\n"
    L"      against the path limit, and the free space the update needs there is printed.\n"
    L"\n"
    L"  Exit codes: 0 done / patch valid, 1 build failed / patch invalid, 2 bad command line.\n";

int Usage(bool bError)
{
    BuilderPrint(bError, USAGE);
    return bError ? 2 : 0;
}

// "/name=value" when arg starts with "/name=" (case-insensitive name).
bool OptionValue(const std::wstring& arg, const wchar_t* pszName, std::wstring& value)
{
    std::wstring prefix = std::wstring(L"/") + pszName + L"=";
    const wchar_t* pszValue = ArgPrefixValue(arg.c_str(), prefix.c_str());
    if (pszValue == nullptr)
        return false;
    value = pszValue;
    return true;
}

int RunBuild(int argc, wchar_t** argv)
{
    PatchBuildOptions options;
    for (int i = 2; i < argc; i++)
    {
        std::wstring arg = argv[i];
        if (OptionValue(arg, L"src", options.sourceDir) || OptionValue(arg, L"out", options.outDir) ||
            OptionValue(arg, L"pid", options.pid) || OptionValue(arg, L"version", options.version) ||
            OptionValue(arg, L"begin", options.rangeBegin) || OptionValue(arg, L"end", options.rangeEnd) ||
            OptionValue(arg, L"installdir", options.installDir))
            continue;
        if (OptionValue(arg, L"digest", options.digestText))
            options.bDigestSet = true;
        else if (OptionValue(arg, L"size", options.sizeText))
            options.bSizeSet = true;
        else if (_wcsicmp(arg.c_str(), L"/zexl") == 0)
            options.bZexl = true;
        else
        {
            BuilderPrint(true, L"QvPatchBuilder: unknown option " + arg + L"\n\n");
            return Usage(true);
        }
    }
    if (options.sourceDir.empty() || options.pid.empty() || options.version.empty())
    {
        BuilderPrint(true, L"QvPatchBuilder: /src=, /pid= and /version= are required\n\n");
        return Usage(true);
    }
    std::wstring patch;
    if (!BuildPatch(options, patch))
        return 1;
    // What the verifier would refuse does not leave the builder either; test patches with their
    // own digest or size text are meant to fail it.
    if (options.bDigestSet || options.bSizeSet)
    {
        BuilderPrint(false, L"  test patch: /digest= or /size= given, not verified\n");
        return 0;
    }
    if (VerifyPatch(patch, options.installDir))
        return 0;
    DeleteFileW(patch.c_str());
    BuilderPrint(true, L"QvPatchBuilder: the built patch fails verification; it was removed\n");
    return 1;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage(true);
    std::wstring command = argv[1];
    if (command == L"/?" || command == L"-?" || _wcsicmp(command.c_str(), L"/help") == 0)
        return Usage(false);
    if (_wcsicmp(command.c_str(), L"build") == 0)
        return RunBuild(argc, argv);
    if (_wcsicmp(command.c_str(), L"verify") == 0)
    {
        std::wstring installDir;
        if (argc < 3 || argc > 4 || (argc == 4 && !OptionValue(argv[3], L"installdir", installDir)))
            return Usage(true);
        return VerifyPatch(argv[2], installDir) ? 0 : 1;
    }
    BuilderPrint(true, L"QvPatchBuilder: unknown command " + command + L"\n\n");
    return Usage(true);
}
