// QvSettingsTool: shows the decrypted text of a client settings file, or sets one member and
// writes the file back encrypted, through the same JsonFile code the updater uses.
//
//   QvSettingsTool show <file>
//   QvSettingsTool set <file> <name> <value>
//   QvSettingsTool new <file> <json text>
//
// <name> is a member name or a path as FindValue takes it; a missing top-level member is added.
// <value> is taken as SetValue takes it: true, false, null or a number. Exit codes: 0 done,
// 1 bad command line, 2 file not readable, 3 value or member refused, 4 file not written.
// "new" writes a settings file (encrypted, as the client keeps it) from a JSON text; a text that
// does not parse is refused (3).
#include <windows.h>

#include <memory>
#include <string>
#include <wchar.h>

#include "common/GpResult.h"
#include "json/JsonFile.h"
#include "tools/common/ToolText.h"

namespace
{
enum
{
    EXIT_DONE = 0,
    EXIT_USAGE = 1,
    EXIT_READ = 2,
    EXIT_REFUSED = 3,
    EXIT_WRITE = 4,
};

void Error(const std::wstring& text)
{
    ConsolePrint(STD_ERROR_HANDLE, L"QvSettingsTool: " + text + L"\r\n");
}

int Usage()
{
    ConsolePrint(STD_ERROR_HANDLE, L"usage: QvSettingsTool show <file>\r\n"
                                   L"       QvSettingsTool set <file> <name> <value>\r\n"
                                   L"       QvSettingsTool new <file> <json text>\r\n");
    return EXIT_USAGE;
}

std::wstring ErrorCode()
{
    return std::to_wstring(GetLastError());
}

// The text exactly as stored, not as the writer would lay it out.
int Show(const wchar_t* pszFile)
{
    JsonFile json;
    if (json.Open(pszFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING) != 1)
    {
        Error(L"cannot open " + std::wstring(pszFile) + L" (error " + ErrorCode() + L")");
        return EXIT_READ;
    }
    int rc = json.m_ef.Read();
    json.Close();
    if (rc != ERROR_OK)
    {
        Error(L"cannot decrypt " + std::wstring(pszFile) + L" (error " + std::to_wstring(rc) + L")");
        return EXIT_READ;
    }
    const wchar_t* pText = reinterpret_cast<const wchar_t*>(json.m_ef.GetData());
    size_t cch = static_cast<size_t>(json.m_ef.GetDataSize()) / sizeof(wchar_t);
    ConsolePrint(STD_OUTPUT_HANDLE, std::wstring(pText, wcsnlen(pText, cch)));
    return EXIT_DONE;
}

int Set(const wchar_t* pszFile, const wchar_t* pszName, const wchar_t* pszValue)
{
    JsonFile json;
    if (json.Load(pszFile) != 1)
    {
        Error(L"cannot read " + std::wstring(pszFile) + L" (error " + ErrorCode() + L")");
        return EXIT_READ;
    }
    JsonValueT* pValue = json.m_root.FindValue(pszName);
    if (pValue != nullptr)
    {
        int rc = pValue->SetValue(pszValue);
        if (rc != 1)
        {
            Error(L"value refused for " + std::wstring(pszName) + L" (SetValue " + std::to_wstring(rc) +
                  L")");
            return EXIT_REFUSED;
        }
    }
    else if (wcspbrk(pszName, L".[") == nullptr && pszName[0] != L'\0')
    {
        auto elem = std::make_unique<JsonEelementT>();
        elem->key = pszName;
        elem->value = std::make_unique<JsonValueT>();
        int rc = elem->value->SetValue(pszValue);
        if (rc != 1 || json.m_root.Add(elem) < 0)
        {
            Error(L"value refused for " + std::wstring(pszName) + L" (SetValue " + std::to_wstring(rc) +
                  L")");
            return EXIT_REFUSED;
        }
    }
    else
    {
        Error(L"no member " + std::wstring(pszName));
        return EXIT_REFUSED;
    }
    if (json.Save() != 1)
    {
        Error(L"cannot write " + std::wstring(pszFile) + L" (error " + ErrorCode() + L")");
        return EXIT_WRITE;
    }
    ConsolePrint(STD_OUTPUT_HANDLE, std::wstring(pszName) + L" = " + pszValue + L"\r\n");
    return EXIT_DONE;
}

int New(const wchar_t* pszFile, const wchar_t* pszText)
{
    JsonFile json;
    if (wcschr(pszText, L'{') == nullptr || json.Parse(pszText) < 0)
    {
        Error(L"not a JSON object: " + std::wstring(pszText));
        return EXIT_REFUSED;
    }
    json.m_ef.m_strPath = pszFile;
    if (json.Save() != 1)
    {
        Error(L"cannot write " + std::wstring(pszFile) + L" (error " + ErrorCode() + L")");
        return EXIT_WRITE;
    }
    return EXIT_DONE;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && wcscmp(argv[1], L"show") == 0)
        return Show(argv[2]);
    if (argc == 5 && wcscmp(argv[1], L"set") == 0)
        return Set(argv[2], argv[3], argv[4]);
    if (argc == 4 && wcscmp(argv[1], L"new") == 0)
        return New(argv[2], argv[3]);
    return Usage();
}
