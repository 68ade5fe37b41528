#pragma once
#include <windows.h>

#include <string>

namespace lumotest
{
// One of the client's Uninstall entries (CLIENT_PRODUCT_KEY_32 or _64) with its
// InstallLocation, written into the prefix's registry and removed again when the object goes.
class UninstallEntry
{
public:
    UninstallEntry(const wchar_t* productKey, const std::wstring& installLocation);
    ~UninstallEntry();
    UninstallEntry(const UninstallEntry&) = delete;
    UninstallEntry& operator=(const UninstallEntry&) = delete;
    bool Ok() const { return m_ok; }

private:
    std::wstring m_path;
    bool m_created = false;
    bool m_ok = false;
};
} // namespace lumotest
