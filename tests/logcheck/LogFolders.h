#pragma once
#include <windows.h>

#include <string>
#include <vector>

// The client's nine log folders in the test prefix: emptied on construction and removed again
// afterwards, with any parents this fixture made.
class LogFolders
{
public:
    LogFolders();
    ~LogFolders();
    LogFolders(const LogFolders&) = delete;
    LogFolders& operator=(const LogFolders&) = delete;

    const std::wstring& LogsDir() const { return m_logsDir; } // ends with a backslash
    std::wstring Folder(int i) const;                         // no trailing backslash
    std::wstring Trigger() const { return Folder(0) + L"\\Wake.up"; }

    // Writes n new pending logs, spread over the folders round-robin.
    void AddLogs(int n);
    // Removes up to n pending logs (n < 0: all); returns how many went.
    int RemoveLogs(int n);
    int CountLogs() const; // pending "*.log" files, own walk
    bool AnyFolderExists() const;
    void RemoveAll();

private:
    std::wstring m_logsDir;
    std::vector<std::wstring> m_madeParents;
    int m_next = 0;
};
