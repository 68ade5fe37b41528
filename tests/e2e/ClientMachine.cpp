#include "tests/e2e/ClientMachine.h"

#include <shlobj.h>

#include "common/ClientContract.h"

namespace lumotest
{
namespace
{
void MakeDirs(const std::wstring& path)
{
    for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1))
        CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
}
} // namespace

ClientMachine::ClientMachine()
{
    m_temp = m_root / L"user temp";
    m_install = m_root / L"Quovera Client";
    MakeDirs(m_temp);
    MakeDirs(m_install + L"\\Lumo");
    m_tempRedirect = std::make_unique<TempRedirect>(m_temp);
    m_entry = std::make_unique<UninstallEntry>(CLIENT_PRODUCT_KEY_32, m_install + L"\\");
    MakeDirs(SystemDir());
    DeleteFileW(StatusFile().c_str());
}

ClientMachine::~ClientMachine()
{
    m_entry.reset();
    DeleteFileW(StatusFile().c_str());
    m_tempRedirect.reset();
}

std::wstring ClientMachine::SystemDir()
{
    wchar_t appData[MAX_PATH];
    SHGetSpecialFolderPathW(nullptr, appData, CSIDL_COMMON_APPDATA, FALSE);
    return std::wstring(appData) + L"\\TAVR\\QVC\\System";
}

std::wstring ClientMachine::StatusValue(const std::wstring& section, const std::wstring& key)
{
    wchar_t value[512];
    GetPrivateProfileStringW(section.c_str(), key.c_str(), L"<missing>", value, 512, StatusFile().c_str());
    return value;
}

std::wstring ClientMachine::BuildPatch(const Patch& patch)
{
    std::wstring dir = m_root / (L"patch" + std::to_wstring(++m_patches));
    std::wstring source = dir + L"\\source";
    MakeDirs(source);
    CopyFileW(BinPath(L"PatchMain.exe").c_str(), (source + L"\\PatchMain.exe").c_str(), FALSE);
    std::string ini;
    if (patch.installerExitCode != 37)
        ini += "ExitCode=" + std::to_string(patch.installerExitCode) + "\r\n";
    if (patch.installerDelayMs != 0)
        ini += "DelayMs=" + std::to_string(patch.installerDelayMs) + "\r\n";
    if (!patch.installerRunLog.empty())
        ini += "RunLog=" + ToUtf8(patch.installerRunLog) + "\r\n";
    if (!ini.empty())
        WriteFileBytes(source + L"\\PatchMain.ini", "[PatchMain]\r\n" + ini);
    for (const auto& file : patch.payload)
    {
        std::wstring path = source + L"\\payload\\" + file.first;
        MakeDirs(path.substr(0, path.find_last_of(L'\\')));
        WriteFileBytes(path, file.second);
    }
    PatchBuildOptions options;
    options.sourceDir = source;
    options.outDir = dir;
    options.pid = patch.pid;
    options.version = patch.version;
    options.rangeBegin = L"6.60.0.0";
    options.rangeEnd = L"6.69.9.9";
    if (!patch.digestText.empty())
    {
        options.bDigestSet = true;
        options.digestText = patch.digestText;
    }
    std::wstring out;
    return ::BuildPatch(options, out) ? out : L"";
}

std::wstring ClientMachine::ToolCommand(const std::wstring& patch, const std::wstring& switches) const
{
    return Quote(BinPath(L"LumoAgent.exe")) + L" " + switches + L" /p=\"" + patch + L"\"";
}
} // namespace lumotest
