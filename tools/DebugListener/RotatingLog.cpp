#include "tools/DebugListener/RotatingLog.h"

namespace
{
HANDLE OpenLog(const std::wstring& path, DWORD dwDisposition)
{
    // Readers may look at the file and the rotation may rename it while it is open.
    return CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       dwDisposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::wstring Generation(const std::wstring& path, int n)
{
    return path + L"." + std::to_wstring(n);
}
} // namespace

bool RotatingLog::Open(const std::wstring& path, unsigned long long maxBytes, int keep)
{
    m_path = path;
    m_maxBytes = maxBytes;
    m_keep = keep < 1 ? 1 : keep;
    m_file.Reset(OpenLog(path, maxBytes == 0 ? CREATE_ALWAYS : OPEN_ALWAYS));
    if (!m_file)
        return false;
    LARGE_INTEGER size = {};
    GetFileSizeEx(m_file.Get(), &size);
    m_size = static_cast<unsigned long long>(size.QuadPart);
    return true;
}

bool RotatingLog::Rotate()
{
    m_file.Reset();
    DeleteFileW(Generation(m_path, m_keep).c_str());
    for (int n = m_keep - 1; n >= 1; n--)
        MoveFileExW(Generation(m_path, n).c_str(), Generation(m_path, n + 1).c_str(),
                    MOVEFILE_REPLACE_EXISTING);
    bool bMoved =
        MoveFileExW(m_path.c_str(), Generation(m_path, 1).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    // A file that cannot be moved away (a reader holds it without sharing) starts afresh in place,
    // so the limit still holds.
    m_file.Reset(OpenLog(m_path, bMoved ? CREATE_NEW : CREATE_ALWAYS));
    if (!m_file)
        m_file.Reset(OpenLog(m_path, OPEN_ALWAYS));
    m_size = 0;
    if (m_file)
    {
        LARGE_INTEGER size = {};
        GetFileSizeEx(m_file.Get(), &size);
        m_size = static_cast<unsigned long long>(size.QuadPart);
    }
    return static_cast<bool>(m_file);
}

bool RotatingLog::Write(const std::string& line)
{
    if (m_maxBytes != 0 && m_size > 0 && m_size + line.size() > m_maxBytes && !Rotate())
        return false;
    if (!m_file)
        return false;
    DWORD cb = 0;
    if (!WriteFile(m_file.Get(), line.data(), static_cast<DWORD>(line.size()), &cb, nullptr))
        return false;
    m_size += cb;
    return cb == line.size();
}
