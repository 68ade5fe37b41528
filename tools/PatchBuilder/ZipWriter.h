#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "zip/GpZipFile.h"

// A ZIP archive being written, named by a wide path, through the library's writer.
class ZipWriter
{
public:
    ZipWriter() = default;
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    bool Create(const std::wstring& path);
    // One entry: narrow stored name with "/" separators, the local extra field as given (may be
    // empty), DOS attributes and time; data read from sourcePath (none for a folder entry).
    bool AddFile(const std::string& storedName, const std::vector<BYTE>& localExtra, DWORD dwAttributes,
                 const FILETIME& ftWrite, const std::wstring& sourcePath, bool bCompress);
    bool AddFolder(const std::string& storedName, const std::vector<BYTE>& localExtra, DWORD dwAttributes,
                   const FILETIME& ftWrite);
    bool AddBytes(const std::string& storedName, const std::vector<BYTE>& localExtra, const FILETIME& ftWrite,
                  const std::string& bytes);
    // Writes the central directory; false when anything went wrong.
    bool Close();
    const std::wstring& LastError() const { return m_error; }

private:
    bool Open(const std::string& storedName, const std::vector<BYTE>& localExtra, DWORD dwAttributes,
              const FILETIME& ftWrite, bool bCompress);
    bool Fail(const std::wstring& text);

    GpZipFile m_zip;
    std::wstring m_error;
};
