#include "tests/zip/ZipFixture.h"

#include "zip/GpZipFile.h"
#include "zip/ZLibFileFunc.h"
#include "zlib.h"

namespace ziptest
{
bool WriteArchive(const std::wstring& path, const std::vector<Entry>& entries)
{
    zlib_filefunc64_def ff;
    FillWin32FileFunc64W(&ff);
    GpZipFile archive(zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &ff));
    if (!archive)
        return false;
    zipFile zf = archive.Get();
    bool ok = true;
    for (const Entry& e : entries)
    {
        zip_fileinfo zi = {};
        zi.tmz_date = e.date;
        zi.external_fa = e.externalAttr;
        bool raw = e.badCrc || e.sizeBeyond != 0 || e.claimedSize != 0;
        int zip64 = e.claimedSize >= 0xFFFFFFFFULL ? 1 : 0;
        const void* extra = e.localExtra.empty() ? nullptr : e.localExtra.data();
        int rc = zipOpenNewFileInZip2_64(zf, e.name.c_str(), &zi, extra,
                                         static_cast<uInt>(e.localExtra.size()), nullptr, 0, nullptr,
                                         raw ? 0 : e.method, Z_DEFAULT_COMPRESSION, raw ? 1 : 0, zip64);
        if (rc == ZIP_OK && !e.data.empty())
            rc = zipWriteInFileInZip(zf, e.data.data(), static_cast<unsigned>(e.data.size()));
        if (rc == ZIP_OK)
        {
            if (raw)
            {
                uLong crc =
                    crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()));
                ZPOS64_T size = e.claimedSize != 0 ? e.claimedSize : e.data.size() + e.sizeBeyond;
                rc = zipCloseFileInZipRaw64(zf, size, e.badCrc ? crc ^ 0x1 : crc);
            }
            else
                rc = zipCloseFileInZip(zf);
        }
        ok = ok && rc == ZIP_OK;
    }
    return zipClose(archive.Detach(), nullptr) == ZIP_OK && ok;
}

std::string ExtraRecord(const std::wstring& path, int version, int sizeAdjust, int lengthOverride)
{
    size_t cb = 15 + path.size() * 2;
    std::string r("ZExL", 5);
    unsigned size = static_cast<unsigned>(static_cast<int>(cb) + sizeAdjust);
    for (int i = 0; i < 4; i++)
        r.push_back(static_cast<char>((size >> (8 * i)) & 0xFF));
    r.push_back(static_cast<char>(version));
    r.append(3, '\0');
    unsigned len =
        lengthOverride >= 0 ? static_cast<unsigned>(lengthOverride) : static_cast<unsigned>(path.size());
    r.push_back(static_cast<char>(len & 0xFF));
    r.push_back(static_cast<char>(len >> 8));
    r.append(reinterpret_cast<const char*>(path.data()), path.size() * 2);
    return r;
}

std::string TimestampBlock()
{
    // "UT", size 5, flags 1 (modification time), time.
    return std::string("\x55\x54\x05\x00\x01\x00\x00\x00\x60", 9);
}
} // namespace ziptest
