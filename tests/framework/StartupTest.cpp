// What the start-up lets the updater load: the loader's search order cannot be watched under Wine,
// so the tests read the import table of the real program and let a framework program report
// what it could load after the framework's entry ran.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>

#include <algorithm>
#include <set>
#include <string>

#include "tests/support/TestUtil.h"

using namespace lumotest;

namespace
{
// Names of the DLLs a PE file imports statically, lower case; empty when it cannot be parsed.
std::set<std::string> ImportedDlls(const std::string& image)
{
    std::set<std::string> names;
    auto at = [&](size_t offset, size_t size) {
        return offset <= image.size() && size <= image.size() - offset;
    };
    if (!at(0, sizeof(IMAGE_DOS_HEADER)))
        return names;
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    size_t ntOffset = static_cast<size_t>(dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || !at(ntOffset, sizeof(IMAGE_NT_HEADERS64)))
        return names;
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + ntOffset);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return names;
    size_t secOffset =
        ntOffset + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader;
    WORD nSections = nt->FileHeader.NumberOfSections;
    if (!at(secOffset, nSections * sizeof(IMAGE_SECTION_HEADER)))
        return names;
    auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(image.data() + secOffset);
    auto fileOffset = [&](DWORD rva, size_t& out) {
        for (WORD i = 0; i < nSections; i++)
        {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.SizeOfRawData)
            {
                out = s.PointerToRawData + (rva - s.VirtualAddress);
                return true;
            }
        }
        return false;
    };
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t offset = 0;
    if (dir.VirtualAddress == 0 || !fileOffset(dir.VirtualAddress, offset))
        return names;
    for (;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR))
    {
        if (!at(offset, sizeof(IMAGE_IMPORT_DESCRIPTOR)))
            return {};
        auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + offset);
        if (desc->Name == 0)
            break;
        size_t nameOffset = 0;
        if (!fileOffset(desc->Name, nameOffset))
            return {};
        size_t end = image.find('\0', nameOffset);
        if (end == std::string::npos)
            return {};
        std::string name = image.substr(nameOffset, end - nameOffset);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char ch) { return static_cast<char>(tolower(ch)); });
        names.insert(name);
    }
    return names;
}
} // namespace

// The staged copy runs from a folder its user owns: a DLL it imports that the system does not
// always take from its own folder (one outside the known DLLs) could be planted there.
TEST(Startup, TheUpdaterImportsOnlyKnownSystemDlls)
{
    static const std::set<std::string> known = {
        "advapi32.dll", "comdlg32.dll", "gdi32.dll",   "kernel32.dll", "msvcrt.dll",  "ole32.dll",
        "oleaut32.dll", "rpcrt4.dll",   "sechost.dll", "shell32.dll",  "shlwapi.dll", "user32.dll",
        "ws2_32.dll",   "imm32.dll",    "crypt32.dll", "combase.dll",  "bcrypt.dll",  "setupapi.dll"};
    std::set<std::string> imports = ImportedDlls(ReadFileBytes(BinPath(L"LumoAgent.exe")));
    ASSERT_TRUE(imports.count("kernel32.dll")) << "import table not read";
    for (const std::string& dll : imports)
        EXPECT_TRUE(known.count(dll)) << dll << " is not a known DLL";
}

TEST(Startup, TheFrameworkEntryLetsNothingLoadFromTheProgramsFolder)
{
    ASSERT_TRUE(FileExists(BinPath(L"lumo_planted.dll")));
    ProcessResult r = RunProcess(Quote(BinPath(L"StartupProbe.exe")), 30000);
    ASSERT_TRUE(r.started && !r.timedOut);
    EXPECT_EQ(0u, r.exitCode) << "1: planted DLL loaded, 2: planted DLL missing, 4: common controls failed, "
                                 "8: comctl32 not from the system folder";
}
