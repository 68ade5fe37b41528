// Which patch archive this run applies: the /p= value, or the one QVClient_v*.zip here.
#include "app/LumoAgentApp.h"

#include <wchar.h>

#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpTrace.h"

BOOL LumoAgentApp::GetPatchPath()
{
    static const wchar_t* const FN = L"LumoAgentApp::GetPatchPath";
    WIN32_FIND_DATAW fd;

    if (m_bPatchPath)
    {
        const wchar_t* pszValue = (m_lpCmdLine != nullptr) ? wcsstr(m_lpCmdLine, L"/p=") : nullptr;
        if (pszValue == nullptr) // the flag and the line disagree: nothing to parse
        {
            SetExit(2, ERROR_INVALID_PARAMETER);
            return 0;
        }
        pszValue += 3;
        wchar_t chEnd = L' ';
        if (*pszValue == L'"')
        {
            chEnd = L'"';
            pszValue++;
        }

        // The whole rest of the line is copied before it is cut; a rest that does not fit is
        // refused rather than cut short into another path.
        size_t cchRest = wcslen(pszValue);
        if (cchRest >= LUMO_PATH_CCH)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！/PatchPath Parse Error 長すぎます len=%d", FN,
                    static_cast<int>(cchRest));
            SetExit(2, ERROR_INVALID_PARAMETER);
            return 0;
        }
        wchar_t szWork[LUMO_PATH_CCH];
        wmemcpy(szWork, pszValue, cchRest + 1);
        wchar_t* pszEnd = wcschr(szWork, chEnd);
        if (pszEnd != nullptr)
        {
            *pszEnd = L'\0';
        }
        else if (chEnd == L'"')
        {
            GPTRACE(TRACE_ERROR, L"[%s] /PatchPath Parse Error Path[%s] Parse文字[%c]", FN, szWork, chEnd);
            SetExit(2, ERROR_INVALID_PARAMETER);
            return 0;
        }

        // Only the value and its terminator: the rest of the work buffer was never written.
        wmemcpy(m_szPatchPath, szWork, wcslen(szWork) + 1);
        GPTRACE(TRACE_TRACE, L"[%s] /PatchPath Param [%s]", FN, m_szPatchPath);
        GpFind find(FindFirstFileW(m_szPatchPath, &fd));
        if (!find)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！FindFirstFile(%s) err[%s]", FN, m_szPatchPath, GpErrText(-1));
            SetExit(3, ERROR_FILE_NOT_FOUND);
            return 0;
        }
        lstrcpynW(m_szPatchName, fd.cFileName, LUMO_PATH_CCH);
        return 1;
    }

    GpFind find(FindFirstFileW(L"QVClient_v*.zip", &fd));
    if (!find)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！FindFirstFile(QVClient_v*.zip) err[%s]", FN, GpErrText(-1));
        SetExit(3, ERROR_FILE_NOT_FOUND);
        return 0;
    }
    lstrcpynW(m_szPatchPath, fd.cFileName, LUMO_PATH_CCH);
    if (FindNextFileW(find.Get(), &fd))
    {
        GPTRACE(TRACE_ERROR, L"[%s] 複数パッチが存在[%s] [%s]", FN, m_szPatchPath, fd.cFileName);
        SetExit(3, 4);
        return 0;
    }
    GPTRACE(TRACE_TRACE, L"[%s] Current Patch Name [%s]", FN, m_szPatchPath);
    lstrcpynW(m_szPatchName, m_szPatchPath, LUMO_PATH_CCH);
    return 1;
}
