#pragma once
#include <windows.h>

#include <string>

namespace lumotest
{
// TMP and TEMP pointed at a folder of the test's own (children started meanwhile inherit them),
// put back as they were when the object goes.
class TempRedirect
{
public:
    explicit TempRedirect(const std::wstring& folder);
    ~TempRedirect();
    TempRedirect(const TempRedirect&) = delete;
    TempRedirect& operator=(const TempRedirect&) = delete;

private:
    std::wstring m_savedTmp, m_savedTemp;
};
} // namespace lumotest
