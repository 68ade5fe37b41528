#include "tests/support/TempRedirect.h"

namespace lumotest
{
namespace
{
std::wstring SaveAndSet(const wchar_t* name, const std::wstring& value)
{
    wchar_t buf[MAX_PATH] = L"";
    GetEnvironmentVariableW(name, buf, MAX_PATH);
    SetEnvironmentVariableW(name, value.c_str());
    return buf;
}

void Restore(const wchar_t* name, const std::wstring& saved)
{
    SetEnvironmentVariableW(name, saved.empty() ? nullptr : saved.c_str());
}
} // namespace

TempRedirect::TempRedirect(const std::wstring& folder)
    : m_savedTmp(SaveAndSet(L"TMP", folder)), m_savedTemp(SaveAndSet(L"TEMP", folder))
{
}

TempRedirect::~TempRedirect()
{
    Restore(L"TMP", m_savedTmp);
    Restore(L"TEMP", m_savedTemp);
}
} // namespace lumotest
