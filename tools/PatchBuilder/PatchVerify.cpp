// Offline check of a patch with the agent's own readers: archive expansion, the configuration
// reader and the file hash.
#include "tools/PatchBuilder/PatchVerify.h"

#include <objbase.h>

#include "tools/PatchBuilder/BuilderText.h"
#include "common/CHashUtil.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "xml/CPatchXml.h"
#include "common/GpComHandles.h"
#include "xml/PatchDigest.h"
#include "zip/ZLibExpand.h"

namespace
{
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
    return false;
}

} // namespace

bool VerifyPatch(const std::wstring& patchPath)
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

    int rc = ZLibExpand(patchPath.c_str(), work.c_str());
    if (rc != ERROR_OK)
        return Verdict(false, L"the patch archive cannot be expanded (" + std::to_wstring(rc) + L")");

    GpComApartment com;
    if (!com.Entered())
        return Verdict(false, L"COM cannot be initialised");
    PatchProductInfo product;
    PatchFileInfo file;
    {
        CPatchXml xml;
        if (!xml.Load((work + L"PatchConfig.xml").c_str()))
            return Verdict(false, L"PatchConfig.xml is missing or not well-formed");
        if (!xml.Parse())
            return Verdict(false, L"PatchConfig.xml lacks ConfigInfo, ProductInfo or PatchInfo, or holds an "
                                  L"over-long value");
        product = xml.GetProductInfo();
        file = xml.GetPatchFileInfo();
    }
    BuilderPrint(false, std::wstring(L"  product ") + product.Pid.c_str() + L", version " +
                            product.Version.c_str() + L", range " + product.RangeBegin.c_str() + L" - " +
                            product.RangeEnd.c_str() + L"\n");
    if (product.Pid.IsEmpty())
        return Verdict(false, L"PatchConfig.xml has no product id");
    if (product.Version.IsEmpty())
        return Verdict(false, L"PatchConfig.xml has no version");

    std::wstring inner = work + L"x86\\common\\x86_common.zip";
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (!GetFileAttributesExW(inner.c_str(), GetFileExInfoStandard, &fad))
        return Verdict(false, L"the inner archive x86\\common\\x86_common.zip is missing");
    ULONGLONG ullSize = (static_cast<ULONGLONG>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
    ULONGLONG ullConfigured = static_cast<unsigned int>(file.Size);
    BuilderPrint(false, L"  inner archive " + std::to_wstring(ullSize) + L" bytes, configured " +
                            std::to_wstring(ullConfigured) + L"\n");
    if (ullSize != ullConfigured)
        return Verdict(false, L"the inner archive's size differs from the configured size");

    BYTE expected[PATCH_DIGEST_BUFFER_BYTES] = {};
    std::wstring why;
    if (!DigestBytes(std::wstring(file.Digest.c_str()), expected, why))
        return Verdict(false, why);
    BYTE actual[PATCH_DIGEST_BUFFER_BYTES] = {};
    rc = CHashUtil::CalcHashOnce(inner.c_str(), actual);
    if (rc != ERROR_OK)
        return Verdict(false, L"the inner archive cannot be hashed (" + std::to_wstring(rc) + L")");
    BuilderPrint(false, L"  SHA-1 " + HexText(actual, CHashUtil::DIGEST_BYTES) + L", configured " +
                            file.Digest.c_str() + L"\n");
    if (memcmp(actual, expected, PATCH_DIGEST_COMPARED_BYTES) != 0)
        return Verdict(false, L"the inner archive's SHA-1 digest differs from the configured one");

    std::wstring content = work + L"content\\";
    rc = ZLibExpand(inner.c_str(), content.c_str());
    if (rc != ERROR_OK)
        return Verdict(false, L"the inner archive cannot be expanded (" + std::to_wstring(rc) + L")");
    if (GetFileAttributesW((content + L"PatchMain.exe").c_str()) == INVALID_FILE_ATTRIBUTES)
        return Verdict(false, L"the inner archive holds no PatchMain.exe");
    return Verdict(true, L"product " + std::wstring(product.Pid.c_str()) + L", version " +
                             std::wstring(product.Version.c_str()) + L", ready to install");
}
