#include "app/LumoAgentApp.h"

#include <shlobj.h>

#include <new>

#include "common/GpFormat.h"
#include "common/GpTrace.h"
#include "json/JsonFile.h"

// With /LeaveCache the client is told to keep its cached files: DeleteFiles becomes false in its
// server settings. Whatever goes wrong is only traced; the file then stays as it was.
void LumoAgentApp::UpdateServerSetting()
{
    static const wchar_t* const FN = L"LumoAgentApp::UpdateServerSetting";
    if (!m_bLeaveCache)
        return;
    GPTRACE(TRACE_TRACE, L"[%s] set deletefiles Route.", FN);

    wchar_t szData[MAX_PATH] = L"";
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, szData)))
    {
        GPTRACE(TRACE_ERROR, L"failed to get path[CSIDL_COMMON_APPDATA]");
        return;
    }
    wchar_t szPath[LUMO_PATH_CCH];
    if (GpFormatN(szPath, L"%s\\TAVR\\QVC\\System\\ServerSetting.cfg", szData) < 0)
    {
        // A cut path would name another file.
        GPTRACE(TRACE_ERROR, L"[%s] ！path too long <%s>", FN, szData);
        return;
    }

    // An exhausted heap makes array growth throw (and new as well), from the document's pass
    // phrase on: the update is done already and must not fail here. Nothing is saved before the
    // document is complete, so the file stays as it was; the document's handles close with it.
    try
    {
        JsonFile json;
        if (json.Load(szPath) == 1)
        {
            JsonValueT* pValue = json.m_root.FindValue(L"DeleteFiles");
            int nRet = pValue != nullptr ? pValue->SetValue(L"false") : -1;
            GPTRACE(TRACE_TRACE, L"[%s] set deletefiles ret[%d]", FN, nRet);
            if (nRet == 1)
                json.Save();
        }
        json.Close();
    }
    catch (int nCode)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！メモリ不足 (配列の拡張に失敗 code=%d)\u3000<%s>", FN, nCode, szPath);
    }
    catch (const std::bad_alloc&)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！メモリ不足 (new に失敗)\u3000<%s>", FN, szPath);
    }
}
