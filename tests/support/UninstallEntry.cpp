#include "tests/support/UninstallEntry.h"

#include "common/ClientContract.h"
#include "common/GpHandles.h"

namespace lumotest
{
UninstallEntry::UninstallEntry(const wchar_t* productKey, const std::wstring& installLocation)
    : m_path(std::wstring(CLIENT_UNINSTALL_KEY) + L"\\" + productKey)
{
    GpRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    m_created = true;
    m_ok =
        RegSetValueExW(key.Get(), CLIENT_INSTALL_LOCATION, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(installLocation.c_str()),
                       static_cast<DWORD>((installLocation.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

UninstallEntry::~UninstallEntry()
{
    if (m_created)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_path.c_str());
}
} // namespace lumotest
