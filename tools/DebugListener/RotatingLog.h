#pragma once
#include <windows.h>

#include <string>

#include "common/GpHandles.h"

// The listener's output file. Without a size limit it starts afresh; with one it is continued
// and, before a line would take it past the limit, moved to FILE.1 (FILE.1 to FILE.2 and so on,
// the oldest of `keep` generations dropped), so a listener can stay on a machine for weeks.
class RotatingLog
{
public:
    RotatingLog() = default;
    RotatingLog(const RotatingLog&) = delete;
    RotatingLog& operator=(const RotatingLog&) = delete;

    // maxBytes 0: no limit. False with the last error set when the file cannot be opened.
    bool Open(const std::wstring& path, unsigned long long maxBytes, int keep);
    // One line (UTF-8 with its line end); false when it could not be written.
    bool Write(const std::string& line);

private:
    bool Rotate();

    std::wstring m_path;
    unsigned long long m_maxBytes = 0;
    unsigned long long m_size = 0;
    int m_keep = 3;
    GpFile m_file;
};
