// Builds a patch archive: the inner archive from the source folder, its configuration, and the
// outer archive in the layout the agent expands.
#include "tools/PatchBuilder/PatchBuild.h"

#include <algorithm>
#include <vector>

#include "tools/PatchBuilder/BuilderText.h"
#include "tools/PatchBuilder/ZexlRecord.h"
#include "tools/PatchBuilder/ZipWriter.h"
#include "common/CHashUtil.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "xml/PatchConfigCheck.h"
#include "zip/ZipEntryPath.h"

namespace
{
constexpr size_t MAX_ATTRIBUTE_CCH = 259; // the reader's buffers hold 260 with the terminator
const wchar_t* const INNER_NAME = L"x86\\common\\x86_common.zip";

struct SourceEntry
{
    std::wstring relPath; // backslash-separated; folders end with a backslash
    std::wstring fullPath;
    DWORD dwAttributes;
    FILETIME ftWrite;
};

bool Report(const std::wstring& text)
{
    BuilderPrint(true, L"QvPatchBuilder: " + text + L"\n");
    return false;
}

std::wstring WithSlash(const std::wstring& dir)
{
    return (!dir.empty() && dir.back() == L'\\') ? dir : dir + L"\\";
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t szFull[MAX_PATH];
    DWORD cch = GetFullPathNameW(path.c_str(), MAX_PATH, szFull, nullptr);
    return (cch == 0 || cch >= MAX_PATH) ? path : std::wstring(szFull);
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Every file and folder below dir, in name order so that builds are repeatable.
bool CollectSources(const std::wstring& dir, const std::wstring& rel, const std::wstring& skipPath,
                    std::vector<SourceEntry>& entries)
{
    std::vector<WIN32_FIND_DATAW> found;
    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW((dir + L"*").c_str(), &fd));
    if (!find)
        return Report(L"cannot list " + dir + L": " + BuilderErrorText(GetLastError()));
    do
    {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0)
            found.push_back(fd);
    } while (FindNextFileW(find.Get(), &fd));
    find.Reset();
    std::sort(found.begin(), found.end(), [](const WIN32_FIND_DATAW& a, const WIN32_FIND_DATAW& b) {
        return CompareStringOrdinal(a.cFileName, -1, b.cFileName, -1, TRUE) == CSTR_LESS_THAN;
    });
    for (const WIN32_FIND_DATAW& f : found)
    {
        std::wstring full = dir + f.cFileName;
        DWORD dwAttr =
            f.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE);
        if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            entries.push_back({rel + f.cFileName + L"\\", full + L"\\", dwAttr, f.ftLastWriteTime});
            if (!CollectSources(full + L"\\", rel + f.cFileName + L"\\", skipPath, entries))
                return false;
        }
        else if (f.nFileSizeHigh != 0)
        {
            // Entries are written without zip64 records, which the inner archive's 2 GiB bound never needs.
            return Report(L"the file " + full + L" is 4 GiB or larger");
        }
        else if (!SameText(full, skipPath))
        {
            entries.push_back(
                {rel + f.cFileName, full, dwAttr != 0 ? dwAttr : FILE_ATTRIBUTE_ARCHIVE, f.ftLastWriteTime});
        }
    }
    return true;
}

// Stored name ("/" separators, ANSI code page) and local extra field of one entry.
bool EntryNames(const std::wstring& relPath, bool bZexl, std::string& stored, std::vector<BYTE>& extra)
{
    if (!IsSafeEntryRelPath(relPath.c_str()))
        return Report(
            L"the name " + relPath +
            L" is refused by the agent's expander (a device name, a colon or a climbing component)");
    std::wstring slashed = relPath;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    bool bLossless = true;
    stored = BuilderAnsi(slashed, bLossless);
    if (!bLossless && !bZexl)
        return Report(L"the name " + relPath + L" has no form in the ANSI code page: build with /zexl");
    if (!ZipStoredNameFits(stored.size()))
        return Report(L"the name " + relPath + L" is longer than " +
                      std::to_wstring(ZIP_STORED_NAME_MAX_BYTES) + L" bytes");
    extra.clear();
    if (bZexl)
    {
        extra = MakeZexlRecord(relPath);
        if (extra.empty())
            return Report(L"the name " + relPath + L" is too long for a path record");
    }
    return true;
}

bool CheckAttribute(const wchar_t* pszName, const std::wstring& value, bool bRequired)
{
    if (bRequired && value.empty())
        return Report(std::wstring(L"/") + pszName + L"= is required");
    if (value.size() > MAX_ATTRIBUTE_CCH)
        return Report(std::wstring(L"/") + pszName + L"= is longer than 259 characters");
    // Pid and Version go into the client's status file: the agent refuses what would add to it.
    if (wcscmp(pszName, L"pid") == 0 || wcscmp(pszName, L"version") == 0)
    {
        int nAt = PatchIniTextUnsafeAt(value.c_str());
        if (nAt >= 0)
        {
            wchar_t szCode[8];
            swprintf(szCode, 8, L"%04X", static_cast<unsigned>(value[nAt]));
            return Report(std::wstring(L"/") + pszName + L"= holds U+" + szCode + L" at " +
                          std::to_wstring(nAt) + L", which the agent refuses (8/1006)");
        }
    }
    // Control characters have no place in an XML 1.0 document, escaped or not.
    if (std::any_of(value.begin(), value.end(), [](wchar_t c) { return c < 0x20; }))
        return Report(std::wstring(L"/") + pszName + L"= holds a control character");
    return true;
}

bool ValidVersionForFileName(const std::wstring& version)
{
    return version.find_first_of(L"\\/:*?\"<>|") == std::wstring::npos && version.back() != L'.' &&
           version.back() != L' ';
}

bool BuildInner(const PatchBuildOptions& options, const std::wstring& sourceDir,
                const std::wstring& innerPath, const std::wstring& patchPath)
{
    std::vector<SourceEntry> entries;
    if (!CollectSources(sourceDir, L"", patchPath, entries))
        return false;
    bool bHasInstaller = std::any_of(entries.begin(), entries.end(), [](const SourceEntry& e) {
        return SameText(e.relPath, L"PatchMain.exe");
    });
    if (!bHasInstaller)
        return Report(L"PatchMain.exe is missing in " + sourceDir);
    ZipWriter zip;
    if (!zip.Create(innerPath))
        return Report(zip.LastError());
    for (const SourceEntry& e : entries)
    {
        std::string stored;
        std::vector<BYTE> extra;
        if (!EntryNames(e.relPath, options.bZexl, stored, extra))
            return false;
        bool bOk = (e.dwAttributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? zip.AddFolder(stored, extra, e.dwAttributes, e.ftWrite)
                       : zip.AddFile(stored, extra, e.dwAttributes, e.ftWrite, e.fullPath, true);
        if (!bOk)
            return Report(zip.LastError());
    }
    return zip.Close() || Report(zip.LastError());
}
} // namespace

bool BuildPatch(const PatchBuildOptions& options, std::wstring& outPatch)
{
    if (options.sourceDir.empty())
        return Report(L"/src= is required");
    if (!CheckAttribute(L"pid", options.pid, true) || !CheckAttribute(L"version", options.version, true) ||
        !CheckAttribute(L"begin", options.rangeBegin, false) ||
        !CheckAttribute(L"end", options.rangeEnd, false) ||
        !CheckAttribute(L"digest", options.digestText, false) ||
        !CheckAttribute(L"size", options.sizeText, false))
        return false;
    if (!ValidVersionForFileName(options.version))
        return Report(L"the version " + options.version + L" cannot be part of a file name");

    std::wstring sourceDir = WithSlash(FullPath(options.sourceDir));
    std::wstring outDir = WithSlash(FullPath(options.outDir.empty() ? L"." : options.outDir));
    std::wstring patchPath = outDir + L"QVClient_v" + options.version + L".zip";
    if (GetFileAttributesW(sourceDir.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Report(L"cannot find the folder " + sourceDir);
    if (!CreateDirectoryW(outDir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Report(L"cannot create the folder " + outDir + L": " + BuilderErrorText(GetLastError()));

    // The inner archive is made beside the patch and removed once packed.
    std::wstring innerPath = patchPath + L".inner.tmp";
    struct TempFile
    {
        const std::wstring& path;
        ~TempFile() { DeleteFileW(path.c_str()); }
    } innerGuard{innerPath};
    DeleteFileW(innerPath.c_str());
    if (!BuildInner(options, sourceDir, innerPath, patchPath))
        return false;

    BYTE digest[CHashUtil::DIGEST_BYTES] = {};
    int rc = CHashUtil::CalcHashOnce(innerPath.c_str(), digest);
    if (rc != ERROR_OK)
        return Report(L"cannot hash the inner archive (" + std::to_wstring(rc) +
                      L"); it must hold 1 to 2147483646 bytes");
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (!GetFileAttributesExW(innerPath.c_str(), GetFileExInfoStandard, &fad))
        return Report(L"cannot read the size of " + innerPath);
    std::wstring digestText =
        options.bDigestSet ? options.digestText : HexText(digest, CHashUtil::DIGEST_BYTES);
    std::wstring sizeText = options.bSizeSet ? options.sizeText : std::to_wstring(fad.nFileSizeLow);
    std::string config = MakePatchConfig(options, digestText, sizeText);

    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    DeleteFileW(patchPath.c_str());
    bool bPacked = false;
    {
        ZipWriter zip;
        std::string stored;
        std::vector<BYTE> extra;
        bPacked = zip.Create(patchPath) && EntryNames(L"PatchConfig.xml", options.bZexl, stored, extra) &&
                  zip.AddBytes(stored, extra, ftNow, config) &&
                  EntryNames(INNER_NAME, options.bZexl, stored, extra) &&
                  zip.AddFile(stored, extra, FILE_ATTRIBUTE_ARCHIVE, ftNow, innerPath, false) && zip.Close();
        if (!bPacked && !zip.LastError().empty())
            Report(zip.LastError());
    }
    if (!bPacked)
    {
        DeleteFileW(patchPath.c_str());
        return false;
    }
    BuilderPrint(false, L"built " + patchPath + L"\n  product " + options.pid + L", version " +
                            options.version + L", range " + options.rangeBegin + L" - " + options.rangeEnd +
                            L"\n  inner archive " + sizeText + L" bytes, SHA-1 " + digestText + L"\n");
    outPatch = patchPath;
    return true;
}
