// Patch expansion and verification: the patch is expanded into a scratch folder, its
// configuration read, the inner archive checked by size and SHA-1 before anything of it is
// expanded where the installer will run.
#include <errno.h>
#include <wchar.h>

#include "common/CHashUtil.h"
#include "common/GpErrorText.h"
#include "common/GpFormat.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"
#include "xml/CPatchXml.h"
#include "common/GpComHandles.h"
#include "xml/PatchConfigCheck.h"
#include "xml/PatchDigest.h"
#include "zip/ZLibExpand.h"
#include "app/LumoAgentApp.h"

namespace
{
constexpr int HASH_MISMATCH = 14028; // ERROR_SXS_FILE_HASH_MISMATCH
const wchar_t INNER_ARCHIVE[] = L"x86\\common\\x86_common.zip";
} // namespace

BOOL LumoAgentApp::ExpandPatch(VString strPatchCopy, VString strUpdateDir)
{
    static const wchar_t* const FN = L"LumoAgentApp::ExpandPatch";
    // Only the configuration's reader needs COM, and nothing of it outlives this step: the
    // apartment is left again on every way out.
    GpComApartment com;
    if (!com.Entered())
    {
        GPTRACE(TRACE_ERROR, L"[%s] COM初期化に失敗", FN);
        SetExit(10, 0);
        return FALSE;
    }

    VString strWork = strUpdateDir + VString(L"Work\\");

    int rc = ZLibExpand(strPatchCopy, strWork);
    if (rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ZLibExpand(%s)\u3000rc=%d.\u3000｛%s｝", FN, strPatchCopy.c_str(), rc,
                GpErrText(-1));
        SetExit(8, rc);
        return FALSE;
    }

    PatchFileInfo info;
    if (!GetPatchInfo(strWork, info))
        return FALSE;

    // A cut path would name another file and fail later as a hash mismatch: refuse it here.
    wchar_t szInner[LUMO_PATH_CCH];
    if (GpFormatN(szInner, L"%sx86\\common\\x86_common.zip", strWork.c_str()) < 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CheckPathLimit\u3000err=%d.\u3000｛%s｝\u3000<%s%s>", FN,
                ERROR_FILENAME_EXCED_RANGE, GpErrText(ERROR_FILENAME_EXCED_RANGE), strWork.c_str(),
                INNER_ARCHIVE);
        SetExit(8, ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }

    if (!PatchInfoCheck(szInner, info))
    {
        GPTRACE(TRACE_ERROR, L"[%s] PatchInfoCheck エラー！ path: [%s].", FN, szInner);
        SetExit(8, HASH_MISMATCH);
        return FALSE;
    }

    rc = ZLibExpand(szInner, strUpdateDir);
    if (rc != ERROR_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ZLibExpand(%s)\u3000rc=%d.\u3000｛%s｝", FN, szInner, rc, GpErrText(-1));
        SetExit(8, rc);
        return FALSE;
    }

    GPTRACE(TRACE_TRACE, L"[%s] Patch File Expand Success. Path:[%s]", FN, szInner);
    ShDelete(strWork);
    return TRUE;
}

BOOL LumoAgentApp::GetPatchInfo(const wchar_t* pszWorkDir, PatchFileInfo& info)
{
    static const wchar_t* const FN = L"LumoAgentApp::GetPatchInfo";
    VString strConfig = pszWorkDir + VString(L"PatchConfig.xml");
    CPatchXml xml;
    if (!xml.Load(strConfig))
    {
        GPTRACE(TRACE_ERROR, L"[%s] xml.Load() error", FN);
        SetExit(8, ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!xml.Parse())
    {
        GPTRACE(TRACE_ERROR, L"[%s] xml.Parse() error", FN);
        SetExit(8, ERROR_FILE_INVALID);
        return FALSE;
    }

    PatchProductInfo product = xml.GetProductInfo();
    GPTRACE(TRACE_TRACE, L"[%s] config info ----", FN);
    GPTRACE(TRACE_TRACE, L"[%s] product[%s]", FN, product.Pid.c_str());
    GPTRACE(TRACE_TRACE, L"[%s] version[%s]", FN, product.Version.c_str());
    GPTRACE(TRACE_TRACE, L"[%s] start  [%s]", FN, product.RangeBegin.c_str());
    GPTRACE(TRACE_TRACE, L"[%s] end    [%s]", FN, product.RangeEnd.c_str());
    GPTRACE(TRACE_TRACE, L"[%s] config info ----", FN);

    if (product.Pid.IsEmpty())
    {
        GPTRACE(TRACE_ERROR, L"[%s] config err. no product id.", FN);
        SetExit(8, ERROR_FILE_INVALID);
        return FALSE;
    }
    if (product.Version.IsEmpty())
    {
        GPTRACE(TRACE_ERROR, L"[%s] config err. no version..", FN);
        SetExit(8, ERROR_FILE_INVALID);
        return FALSE;
    }
    // The text itself stays out of the trace: it could forge lines there as well.
    int nAt = PatchIniTextUnsafeAt(product.Pid.c_str());
    if (nAt >= 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！config err. product id holds U+%04X at %d.", FN,
                static_cast<unsigned>(product.Pid.c_str()[nAt]), nAt);
        SetExit(8, ERROR_FILE_INVALID);
        return FALSE;
    }
    nAt = PatchIniTextUnsafeAt(product.Version.c_str());
    if (nAt >= 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！config err. version holds U+%04X at %d.", FN,
                static_cast<unsigned>(product.Version.c_str()[nAt]), nAt);
        SetExit(8, ERROR_FILE_INVALID);
        return FALSE;
    }
    m_strProduct = product.Pid;
    m_strVersion = product.Version;
    info = xml.GetPatchFileInfo();
    return TRUE;
}

BOOL LumoAgentApp::PatchInfoCheck(const wchar_t* pszInner, const PatchFileInfo& info)
{
    static const wchar_t* const FN = L"LumoAgentApp::PatchInfoCheck";
    ULONGLONG ullSize = 0;
    if (!GetFileSize64(pszInner, ullSize))
    {
        GPTRACE(TRACE_DEBUG, L"[%s] GetFileSize64 エラー！ path: [%s].", FN, pszInner);
        return FALSE;
    }
    ULONGLONG ullConfig = PatchConfiguredSize(info.Size);
    if (!PatchSizeMatches(ullSize, info.Size))
    {
        GPTRACE(TRACE_DEBUG, L"[%s] FileSizeエラー！ path: [%s]. file:[%I64d] config:[%I64d]", FN, pszInner,
                ullSize, ullConfig);
        return FALSE;
    }

    BYTE expected[PATCH_DIGEST_BUFFER_BYTES];
    const wchar_t* pszDigest = info.Digest.c_str();
    int nAt = PatchDigestBytes(pszDigest, expected);
    if (nAt == PATCH_DIGEST_TOO_LONG)
    {
        // The buffer takes 100 digits; a longer text cannot be a digest of ours.
        GPTRACE(TRACE_ERROR, L"[%s] ！hash変換エラー\u3000桁数超過 len=%d\u3000from <%s>.", FN,
                info.Digest.GetLength(), pszDigest);
        return FALSE;
    }
    if (nAt != PATCH_DIGEST_OK)
    {
        GPTRACE(TRACE_ERROR, L"[%s]  hash変換エラー！\u3000%s\u3000from <%s>.", FN, GpCrtErrorText(-1),
                pszDigest + nAt);
        return FALSE;
    }

    BYTE actual[PATCH_DIGEST_BUFFER_BYTES] = {};
    int rc = CHashUtil::CalcHashOnce(pszInner, actual);
    if (rc < 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CalcHashOnce rc=%d.", FN, rc);
        return FALSE;
    }
    GPTRACE(TRACE_TRACE, L"[%s] CalcHashOnce rc=%d.", FN, rc);
    if (!PatchDigestMatches(actual, expected))
    {
        GPTRACE(TRACE_DEBUG, L"[%s] ！hash compare.", FN);
        return FALSE;
    }
    return TRUE;
}
