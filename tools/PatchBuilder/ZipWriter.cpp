#include "tools/PatchBuilder/ZipWriter.h"

#include <cstdio>

#include "tools/PatchBuilder/BuilderText.h"
#include "common/GpHandles.h"

namespace
{
// The library's file functions over the runtime's wide-path streams.
voidpf ZCALLBACK OpenW(voidpf, const void* filename, int mode)
{
    const wchar_t* pszMode = L"rb";
    if (mode & ZLIB_FILEFUNC_MODE_CREATE)
        pszMode = L"wb";
    else if (mode & ZLIB_FILEFUNC_MODE_EXISTING)
        pszMode = L"r+b";
    return _wfopen(static_cast<const wchar_t*>(filename), pszMode);
}
uLong ZCALLBACK ReadW(voidpf, voidpf stream, void* buf, uLong size)
{
    return static_cast<uLong>(fread(buf, 1, size, static_cast<FILE*>(stream)));
}
uLong ZCALLBACK WriteW(voidpf, voidpf stream, const void* buf, uLong size)
{
    return static_cast<uLong>(fwrite(buf, 1, size, static_cast<FILE*>(stream)));
}
ZPOS64_T ZCALLBACK TellW(voidpf, voidpf stream)
{
    return static_cast<ZPOS64_T>(_ftelli64(static_cast<FILE*>(stream)));
}
long ZCALLBACK SeekW(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    int nOrigin = origin == ZLIB_FILEFUNC_SEEK_CUR   ? SEEK_CUR
                  : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END
                                                     : SEEK_SET;
    return _fseeki64(static_cast<FILE*>(stream), static_cast<__int64>(offset), nOrigin) == 0 ? 0 : -1;
}
int ZCALLBACK CloseW(voidpf, voidpf stream)
{
    return fclose(static_cast<FILE*>(stream));
}
int ZCALLBACK ErrorW(voidpf, voidpf stream)
{
    return ferror(static_cast<FILE*>(stream));
}

zip_fileinfo EntryInfo(DWORD dwAttributes, const FILETIME& ftWrite)
{
    zip_fileinfo info = {};
    FILETIME ftLocal;
    SYSTEMTIME st = {};
    if (FileTimeToLocalFileTime(&ftWrite, &ftLocal) && FileTimeToSystemTime(&ftLocal, &st) &&
        st.wYear >= 1980)
    {
        info.tmz_date.tm_year = st.wYear;
        info.tmz_date.tm_mon = st.wMonth - 1;
        info.tmz_date.tm_mday = st.wDay;
        info.tmz_date.tm_hour = st.wHour;
        info.tmz_date.tm_min = st.wMinute;
        info.tmz_date.tm_sec = st.wSecond;
    }
    else
    {
        info.tmz_date.tm_year = 1980;
        info.tmz_date.tm_mday = 1;
    }
    info.external_fa = dwAttributes;
    return info;
}
} // namespace

bool ZipWriter::Fail(const std::wstring& text)
{
    if (m_error.empty())
        m_error = text;
    return false;
}

bool ZipWriter::Create(const std::wstring& path)
{
    zlib_filefunc64_def funcs = {};
    funcs.zopen64_file = OpenW;
    funcs.zread_file = ReadW;
    funcs.zwrite_file = WriteW;
    funcs.ztell64_file = TellW;
    funcs.zseek64_file = SeekW;
    funcs.zclose_file = CloseW;
    funcs.zerror_file = ErrorW;
    m_zip.Reset(zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &funcs));
    if (!m_zip)
        return Fail(L"cannot create " + path);
    return true;
}

bool ZipWriter::Open(const std::string& storedName, const std::vector<BYTE>& localExtra, DWORD dwAttributes,
                     const FILETIME& ftWrite, bool bCompress)
{
    if (!m_zip)
        return Fail(L"archive not open");
    zip_fileinfo info = EntryInfo(dwAttributes, ftWrite);
    // No zip64 block: the local extra field must be exactly the record, nothing appended to it.
    int rc = zipOpenNewFileInZip2_64(m_zip.Get(), storedName.c_str(), &info,
                                     localExtra.empty() ? nullptr : localExtra.data(),
                                     static_cast<uInt>(localExtra.size()), nullptr, 0, nullptr,
                                     bCompress ? Z_DEFLATED : 0, bCompress ? Z_DEFAULT_COMPRESSION : 0, 0, 0);
    if (rc != ZIP_OK)
        return Fail(L"cannot add entry " + BuilderWide(storedName) + L" (" + std::to_wstring(rc) + L")");
    return true;
}

bool ZipWriter::AddFolder(const std::string& storedName, const std::vector<BYTE>& localExtra,
                          DWORD dwAttributes, const FILETIME& ftWrite)
{
    if (!Open(storedName, localExtra, dwAttributes, ftWrite, false))
        return false;
    return zipCloseFileInZip(m_zip.Get()) == ZIP_OK || Fail(L"cannot close entry " + BuilderWide(storedName));
}

bool ZipWriter::AddBytes(const std::string& storedName, const std::vector<BYTE>& localExtra,
                         const FILETIME& ftWrite, const std::string& bytes)
{
    if (!Open(storedName, localExtra, FILE_ATTRIBUTE_ARCHIVE, ftWrite, true))
        return false;
    if (zipWriteInFileInZip(m_zip.Get(), bytes.data(), static_cast<unsigned>(bytes.size())) != ZIP_OK)
        return Fail(L"cannot write entry " + BuilderWide(storedName));
    return zipCloseFileInZip(m_zip.Get()) == ZIP_OK || Fail(L"cannot close entry " + BuilderWide(storedName));
}

bool ZipWriter::AddFile(const std::string& storedName, const std::vector<BYTE>& localExtra,
                        DWORD dwAttributes, const FILETIME& ftWrite, const std::wstring& sourcePath,
                        bool bCompress)
{
    GpFile source(CreateFileW(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source)
        return Fail(L"cannot read " + sourcePath + L": " + BuilderErrorText(GetLastError()));
    if (!Open(storedName, localExtra, dwAttributes, ftWrite, bCompress))
        return false;
    std::vector<BYTE> buffer(1 << 20);
    for (;;)
    {
        DWORD cbRead = 0;
        if (!ReadFile(source.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &cbRead, nullptr))
            return Fail(L"cannot read " + sourcePath + L": " + BuilderErrorText(GetLastError()));
        if (cbRead == 0)
            break;
        if (zipWriteInFileInZip(m_zip.Get(), buffer.data(), cbRead) != ZIP_OK)
            return Fail(L"cannot write entry " + BuilderWide(storedName));
    }
    return zipCloseFileInZip(m_zip.Get()) == ZIP_OK || Fail(L"cannot close entry " + BuilderWide(storedName));
}

bool ZipWriter::Close()
{
    if (!m_zip)
        return Fail(L"archive not open");
    int rc = zipClose(m_zip.Detach(), nullptr);
    if (rc != ZIP_OK)
        return Fail(L"cannot finish the archive (" + std::to_wstring(rc) + L")");
    return m_error.empty();
}
