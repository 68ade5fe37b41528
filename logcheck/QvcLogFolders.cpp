#include "logcheck/QvcLogFolders.h"

#include <shlobj.h>

namespace
{
const wchar_t* const s_folders[QVC_LOG_FOLDER_COUNT] = {
    L"ModuleALog", L"ModuleBLog", L"ModuleCLog", L"ModuleDLog", L"ModuleELog",
    L"ModuleFLog", L"ModuleGLog", L"ModuleHLog", L"ModuleILog",
};
} // namespace

const wchar_t* const QVC_LOG_TRIGGER_NAME = L"Wake.up";

const wchar_t* QvcLogFolderName(int i)
{
    return (i >= 0 && i < QVC_LOG_FOLDER_COUNT) ? s_folders[i] : nullptr;
}

HRESULT GetQvcLogsDir(VString& strLogsDir)
{
    wchar_t szAppData[MAX_PATH + 1] = L"";
    HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, szAppData);
    if (FAILED(hr))
        return hr;
    strLogsDir = szAppData;
    strLogsDir.AppendUnlessPresent(L"\\");
    strLogsDir.Cat(L"TAVR\\QVC\\Logs\\");
    return S_OK;
}
