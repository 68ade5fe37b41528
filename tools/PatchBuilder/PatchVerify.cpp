// Offline check of a patch with the agent's own readers and rules: archive expansion, the
// configuration reader and its checks, the file hash, the entry-path rules.
#include "tools/PatchBuilder/PatchVerify.h"

#include <objbase.h>

#include <vector>

#include "tools/PatchBuilder/BuilderText.h"
#include "common/CHashUtil.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "xml/CPatchXml.h"
#include "common/GpComHandles.h"
#include "xml/PatchConfigCheck.h"
#include "xml/PatchDigest.h"
#include "zip/GpUnzFile.h"
#include "zip/ZLibExpand.h"
#include "zip/ZLibExtraLocal.h"
#include "zip/ZLibFileFunc.h"
#include "zip/ZipEntryPath.h"

namespace
{
const wchar_t* const INNER_REL = L"x86\\common\\x86_common.zip";

struct ScratchDir
{
    std::wstring path;
    ~ScratchDir()
    {
        if (path.empty())
            return;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            ShDelete(path.substr(0, path.size() - 1).c_str());
    }
};

bool Verdict(bool bValid, const std::wstring& text)
{
    BuilderPrint(false, std::wstring(bValid ? L"VALID: " : L"INVALID: ") + text + L"\n");
    return bValid;
}

std::wstring Hex4(unsigned c)
{
    wchar_t sz[8];
    swprintf(sz, 8, L"%04X", c);
    return sz;
}

// The agent's own reading of the digest text, with the reason in words.
bool DigestBytes(const std::wstring& text, BYTE (&out)[PATCH_DIGEST_BUFFER_BYTES], std::wstring& why)
{
    int nAt = PatchDigestBytes(text.c_str(), out);
    if (nAt == PATCH_DIGEST_OK)
        return true;
    if (nAt == PATCH_DIGEST_TOO_LONG)
        why = L"the digest text is longer than 100 characters";
    else if (text.empty())
        why = L"the digest text is empty";
    else
        why = L"the digest text is not hexadecimal at position " + std::to_wstring(nAt);
    why += L" (the agent ends with 8/14028)";
    return false;
}

// The status-file rule on Pid and Version, with the agent's own trace wording.
bool IniTextOk(const wchar_t* pszWhat, const VString& text, std::wstring& why)
{
    int nAt = PatchIniTextUnsafeAt(text.c_str());
    if (nAt < 0)
        return true;
    why = std::wstring(L"the ") + pszWhat + L" holds U+" + Hex4(text.c_str()[nAt]) + L" at " +
          std::to_wstring(nAt) + L", which the status file cannot take (the agent ends with 8/1006)";
    return false;
}

struct ArchiveEntry
{
    std::wstring relPath; // as the expander names it
    ULONGLONG cbData;
};

// The entries of an archive that has just been expanded, named as the expander names them: the
// extra-record path, or the stored name with backslashes.
bool ListEntries(const std::wstring& archive, std::vector<ArchiveEntry>& entries)
{
    zlib_filefunc64_def funcs;
    FillWin32FileFunc64W(&funcs);
    GpUnzFile uf(unzOpen2_64(archive.c_str(), &funcs));
    if (!uf)
        return false;
    for (int rc = unzGoToFirstFile(uf.Get()); rc == UNZ_OK; rc = unzGoToNextFile(uf.Get()))
    {
        unz_file_info64 fi = {};
        char szName[ZIP_STORED_NAME_MAX_BYTES + 2] = {};
        if (unzGetCurrentFileInfo64(uf.Get(), &fi, szName, ZIP_STORED_NAME_MAX_BYTES + 1, nullptr, 0, nullptr,
                                    0) != UNZ_OK ||
            unzOpenCurrentFilePassword(uf.Get(), nullptr) != UNZ_OK)
            return false;
        ZLibExtraLocal extra;
        int nExtra = extra.LoadStream(uf.Get());
        if (nExtra != ERROR_OK && nExtra != ERROR_NON)
            return false;
        std::wstring rel;
        if (!extra.RelPath.IsEmpty())
            rel = extra.RelPath.c_str();
        else
        {
            for (char* p = szName; *p != '\0'; p++)
            {
                if (*p == '/')
                    *p = '\\';
            }
            rel = BuilderWide(szName);
        }
        entries.push_back({rel, fi.uncompressed_size});
    }
    return true;
}

struct LongestPath
{
    std::wstring path;
    void Take(const std::wstring& p)
    {
        if (p.size() > path.size())
            path = p;
    }
};

// Every path the agent writes under this install folder must pass its path-limit check.
bool PathsFit(const std::wstring& installDir, const std::wstring& patchName,
              const std::vector<ArchiveEntry>& outer, const std::vector<ArchiveEntry>& inner,
              LongestPath& longest, std::wstring& why)
{
    // InstallLocation is used as a plain prefix, as the agent does.
    std::wstring update = installDir + L"Lumo\\QuoveraClient\\";
    std::wstring work = update + L"Work\\";
    struct Check
    {
        std::wstring path;
        const wchar_t* outcome;
    };
    std::vector<Check> checks;
    checks.push_back({update + patchName, L"the patch copy cannot be made (the agent ends with 10/…)"});
    for (const ArchiveEntry& e : outer)
        checks.push_back({std::wstring(ZipEntryOutputPath(work.c_str(), e.relPath.c_str()).c_str()),
                          L"the agent ends with 8/206"});
    for (const ArchiveEntry& e : inner)
        checks.push_back({std::wstring(ZipEntryOutputPath(update.c_str(), e.relPath.c_str()).c_str()),
                          L"the agent ends with 8/206"});
    for (const Check& c : checks)
    {
        longest.Take(c.path);
        if (CheckPathLimit(c.path.c_str()) != ERROR_OK)
        {
            why = c.path + L" is " + std::to_wstring(c.path.size()) + L" characters, more than 259: " +
                  c.outcome;
            return false;
        }
    }
    return true;
}

ULONGLONG DataBytes(const std::vector<ArchiveEntry>& entries)
{
    ULONGLONG cb = 0;
    for (const ArchiveEntry& e : entries)
        cb += e.cbData;
    return cb;
}

std::wstring FileName(const std::wstring& path)
{
    size_t n = path.find_last_of(L"\\/:");
    return n == std::wstring::npos ? path : path.substr(n + 1);
}

bool CheckInstallFolder(const std::wstring& installDir, const std::wstring& patchPath,
                        const std::wstring& innerPath, std::wstring& why)
{
    if (installDir.size() >= 260)
    {
        why = L"the install folder is 260 characters or longer (the agent ends with 10/206)";
        return false;
    }
    if (installDir.find(L'"') != std::wstring::npos)
    {
        // "C:\Folder\" on a command line quotes its own closing quote.
        why = L"the install folder holds a double quote: on a command line, write its last backslash twice "
              L"before the closing quote (\"/installdir=C:\\Program Files\\Client\\\\\")";
        return false;
    }
    if (installDir.back() != L'\\')
    {
        why = L"the install folder " + installDir +
              L" does not end with a backslash: the agent would look for " + installDir +
              L"Lumo\\QuoveraClient and end with 10/3";
        return false;
    }
    std::vector<ArchiveEntry> outer;
    std::vector<ArchiveEntry> inner;
    if (!ListEntries(patchPath, outer) || !ListEntries(innerPath, inner))
    {
        why = L"the archives cannot be read again";
        return false;
    }
    LongestPath longest;
    if (!PathsFit(installDir, FileName(patchPath), outer, inner, longest, why))
        return false;
    BuilderPrint(false, L"  install folder " + installDir + L": longest path " +
                            std::to_wstring(longest.path.size()) + L" of 259 characters (" + longest.path +
                            L")\n");

    // The update folder holds the patch copy, the work folder and the expanded files at once;
    // the tool's staging folder in %TEMP% holds another patch copy.
    WIN32_FILE_ATTRIBUTE_DATA fad;
    ULONGLONG cbPatch = 0;
    if (GetFileAttributesExW(patchPath.c_str(), GetFileExInfoStandard, &fad))
        cbPatch = (static_cast<ULONGLONG>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
    ULONGLONG cbWork = DataBytes(outer);
    ULONGLONG cbExpanded = DataBytes(inner);
    BuilderPrint(false, L"  the update needs " + std::to_wstring(cbPatch + cbWork + cbExpanded) +
                            L" bytes free on the install folder's volume (patch copy " +
                            std::to_wstring(cbPatch) + L", work folder " + std::to_wstring(cbWork) +
                            L", expanded files " + std::to_wstring(cbExpanded) +
                            L"; the installer's own needs come on top), and " + std::to_wstring(cbPatch) +
                            L" bytes and the agent's copy in the user's %TEMP%\n");
    ULARGE_INTEGER uliFree = {};
    if (GetDiskFreeSpaceExW(installDir.c_str(), &uliFree, nullptr, nullptr))
        BuilderPrint(false,
                     L"  free there on this machine: " + std::to_wstring(uliFree.QuadPart) + L" bytes\n");
    return true;
}
} // namespace

bool VerifyPatch(const std::wstring& patchPath, const std::wstring& installDir)
{
    BuilderPrint(false, L"checking " + patchPath + L"\n");
    wchar_t szTemp[MAX_PATH];
    DWORD cchTemp = GetTempPathW(MAX_PATH, szTemp);
    if (cchTemp == 0 || cchTemp >= MAX_PATH)
        return Verdict(false, L"no temporary folder");
    ScratchDir scratch;
    std::wstring work = std::wstring(szTemp) + L"QvPatchVerify" + std::to_wstring(GetCurrentProcessId()) +
                        L"_" + std::to_wstring(GetTickCount()) + L"\\";
    scratch.path = work;

    // The expander applies the agent's entry rules (traversal, device names, name length).
    int rc = ZLibExpand(patchPath.c_str(), work.c_str());
    if (rc != ERROR_OK && GetFileAttributesW(patchPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Verdict(false,
                       L"the patch archive cannot be expanded (" + std::to_wstring(rc) + L"): no such file");
    if (rc != ERROR_OK)
        return Verdict(false, L"the patch archive cannot be expanded (" + std::to_wstring(rc) +
                                  L"), the agent ends with 8/" + std::to_wstring(rc));

    // A caller's thread may already be in the other apartment model; the reader works in either.
    GpComApartment com;
    if (!com.Entered() && com.Result() != RPC_E_CHANGED_MODE)
        return Verdict(false, L"COM cannot be initialised");
    PatchProductInfo product;
    PatchFileInfo file;
    {
        CPatchXml xml;
        if (!xml.Load((work + L"PatchConfig.xml").c_str()))
            return Verdict(false, L"PatchConfig.xml is missing or not well-formed (the agent ends with 8/2)");
        if (!xml.Parse())
            return Verdict(false, L"PatchConfig.xml lacks ConfigInfo, ProductInfo or PatchInfo, or holds an "
                                  L"over-long value (the agent ends with 8/1006)");
        product = xml.GetProductInfo();
        file = xml.GetPatchFileInfo();
    }
    BuilderPrint(false, std::wstring(L"  product ") + product.Pid.c_str() + L", version " +
                            product.Version.c_str() + L", range " + product.RangeBegin.c_str() + L" - " +
                            product.RangeEnd.c_str() + L"\n");
    if (product.Pid.IsEmpty())
        return Verdict(false, L"PatchConfig.xml has no product id (the agent ends with 8/1006)");
    if (product.Version.IsEmpty())
        return Verdict(false, L"PatchConfig.xml has no version (the agent ends with 8/1006)");
    std::wstring why;
    if (!IniTextOk(L"product id", product.Pid, why) || !IniTextOk(L"version", product.Version, why))
        return Verdict(false, why);

    std::wstring inner = work + INNER_REL;
    ULONGLONG ullSize = 0;
    if (!GetFileSize64(inner.c_str(), ullSize))
        return Verdict(false,
                       L"the inner archive x86\\common\\x86_common.zip is missing (the agent ends with "
                       L"8/14028)");
    BuilderPrint(false, L"  inner archive " + std::to_wstring(ullSize) + L" bytes, configured " +
                            std::to_wstring(PatchConfiguredSize(file.Size)) + L"\n");
    if (!PatchSizeMatches(ullSize, file.Size))
        return Verdict(false,
                       L"the inner archive's size differs from the configured size (the agent ends with "
                       L"8/14028)");

    BYTE expected[PATCH_DIGEST_BUFFER_BYTES] = {};
    if (!DigestBytes(std::wstring(file.Digest.c_str()), expected, why))
        return Verdict(false, why);
    BYTE actual[PATCH_DIGEST_BUFFER_BYTES] = {};
    rc = CHashUtil::CalcHashOnce(inner.c_str(), actual);
    if (rc != ERROR_OK)
        return Verdict(false, L"the inner archive cannot be hashed (" + std::to_wstring(rc) +
                                  L"; the agent ends with 8/14028)");
    BuilderPrint(false, L"  SHA-1 " + HexText(actual, CHashUtil::DIGEST_BYTES) + L", configured " +
                            file.Digest.c_str() + L"\n");
    if (!PatchDigestMatches(actual, expected))
        return Verdict(false,
                       L"the inner archive's SHA-1 digest differs from the configured one (the agent ends "
                       L"with 8/14028)");

    std::wstring content = work + L"content\\";
    rc = ZLibExpand(inner.c_str(), content.c_str());
    if (rc != ERROR_OK)
        return Verdict(false, L"the inner archive cannot be expanded (" + std::to_wstring(rc) +
                                  L"), the agent ends with 8/" + std::to_wstring(rc));
    if (GetFileAttributesW((content + L"PatchMain.exe").c_str()) == INVALID_FILE_ATTRIBUTES)
        return Verdict(false, L"the inner archive holds no PatchMain.exe (the agent ends with 9/2)");
    if (!installDir.empty() && !CheckInstallFolder(installDir, patchPath, inner, why))
        return Verdict(false, why);
    BuilderPrint(false, L"  status record section [" + std::wstring(product.Pid.c_str()) + L"]\n");
    return Verdict(true, L"product " + std::wstring(product.Pid.c_str()) + L", version " +
                             std::wstring(product.Version.c_str()) + L", ready to install");
}
