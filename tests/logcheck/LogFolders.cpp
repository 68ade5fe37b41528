#include "tests/logcheck/LogFolders.h"

#include <shlobj.h>

#include "common/GpHandles.h"
#include "logcheck/QvcLogFolders.h"
#include "tests/support/TestUtil.h"

namespace
{
std::vector<std::wstring> LogFiles(const std::wstring& folder)
{
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW((folder + L"\\*.log").c_str(), &fd));
    if (!find)
        return out;
    do
    {
        std::wstring path = folder + L"\\" + fd.cFileName;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            auto sub = LogFiles(path);
            out.insert(out.end(), sub.begin(), sub.end());
        }
        else
        {
            out.push_back(path);
        }
    } while (FindNextFileW(find.Get(), &fd));
    return out;
}
} // namespace

LogFolders::LogFolders()
{
    VString dir;
    GetQvcLogsDir(dir);
    m_logsDir = dir.c_str();
    // Remember which of TAVR, QVC and Logs we are about to make, to leave the prefix as found.
    std::wstring parent = m_logsDir.substr(0, m_logsDir.size() - 1);
    for (int i = 0; i < 3 && !lumotest::FileExists(parent); i++)
    {
        m_madeParents.push_back(parent);
        parent = parent.substr(0, parent.find_last_of(L'\\'));
    }
    RemoveAll();
}

LogFolders::~LogFolders()
{
    RemoveAll();
    for (const auto& p : m_madeParents)
        RemoveDirectoryW(p.c_str());
}

std::wstring LogFolders::Folder(int i) const
{
    return m_logsDir + QvcLogFolderName(i);
}

void LogFolders::AddLogs(int n)
{
    for (int k = 0; k < n; k++, m_next++)
    {
        std::wstring folder = Folder(m_next % QVC_LOG_FOLDER_COUNT);
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        lumotest::WriteFileBytes(folder + L"\\log" + std::to_wstring(m_next) + L".log", "pending\r\n");
    }
}

int LogFolders::RemoveLogs(int n)
{
    int removed = 0;
    for (int i = 0; i < QVC_LOG_FOLDER_COUNT; i++)
        for (const auto& f : LogFiles(Folder(i)))
        {
            if (n >= 0 && removed >= n)
                return removed;
            if (DeleteFileW(f.c_str()))
                removed++;
        }
    return removed;
}

int LogFolders::CountLogs() const
{
    size_t n = 0;
    for (int i = 0; i < QVC_LOG_FOLDER_COUNT; i++)
        n += LogFiles(Folder(i)).size();
    return static_cast<int>(n);
}

bool LogFolders::AnyFolderExists() const
{
    for (int i = 0; i < QVC_LOG_FOLDER_COUNT; i++)
        if (lumotest::FileExists(Folder(i)))
            return true;
    return false;
}

void LogFolders::RemoveAll()
{
    for (int i = 0; i < QVC_LOG_FOLDER_COUNT; i++)
        lumotest::RemoveTree(Folder(i));
}
