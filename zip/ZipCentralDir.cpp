// The library keeps the central directory's bounds to itself; the entry walk needs them to tell
// the end of the list from a record that breaks before it.
#include "zip/ZipCentralDir.h"

#include <string.h>

#include <vector>

#include "common/GpResult.h"
#include "common/GpTrace.h"
#include "zip/ZLibFileFunc.h"

namespace
{
constexpr ULONGLONG SEARCH_BACK = 0xFFFF; // the library looks no further back for the end records
constexpr size_t END_RECORD_BYTES = 22;
constexpr size_t LOCATOR_BYTES = 20;
constexpr size_t END_RECORD64_BYTES = 56;

DWORD Le32(const BYTE* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}
ULONGLONG Le64(const BYTE* p)
{
    return Le32(p) | (static_cast<ULONGLONG>(Le32(p + 4)) << 32);
}

// The archive's stream, closed through the table that opened it.
class ArchiveStream
{
public:
    explicit ArchiveStream(const wchar_t* pszArchive)
    {
        FillWin32FileFunc64W(&m_ff);
        m_stream =
            m_ff.zopen64_file(m_ff.opaque, pszArchive, ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    }
    ~ArchiveStream()
    {
        if (m_stream != nullptr)
            m_ff.zclose_file(m_ff.opaque, m_stream);
    }
    ArchiveStream(const ArchiveStream&) = delete;
    ArchiveStream& operator=(const ArchiveStream&) = delete;

    bool IsOpen() const { return m_stream != nullptr; }
    bool Size(ULONGLONG& ullSize)
    {
        if (m_ff.zseek64_file(m_ff.opaque, m_stream, 0, ZLIB_FILEFUNC_SEEK_END) != 0)
            return false;
        ullSize = m_ff.ztell64_file(m_ff.opaque, m_stream);
        return ullSize != static_cast<ULONGLONG>(-1);
    }
    bool ReadAt(ULONGLONG ullPos, BYTE* p, size_t cb)
    {
        return m_ff.zseek64_file(m_ff.opaque, m_stream, ullPos, ZLIB_FILEFUNC_SEEK_SET) == 0 &&
               m_ff.zread_file(m_ff.opaque, m_stream, p, static_cast<uLong>(cb)) == cb;
    }

private:
    zlib_filefunc64_def m_ff = {};
    voidpf m_stream = nullptr;
};

// The last signature in the tail, as the library's backward search finds it (position 0 counts
// as not found there as well). Answers its position in the file, or 0.
ULONGLONG FindLast(const std::vector<BYTE>& tail, ULONGLONG ullTailPos, const char* pszSig)
{
    for (size_t i = tail.size() >= 4 ? tail.size() - 4 + 1 : 0; i-- > 0;)
    {
        if (memcmp(&tail[i], pszSig, 4) == 0)
            return ullTailPos + i;
    }
    return 0;
}
} // namespace

int ReadZipCentralDir(const wchar_t* pszArchive, ZipCentralDir& dir)
{
    const wchar_t* const ME = L"ReadZipCentralDir";
    ArchiveStream stream(pszArchive);
    ULONGLONG ullSize = 0;
    if (!stream.IsOpen() || !stream.Size(ullSize))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！アーカイブ再読込失敗\u3000<%s>", ME, pszArchive);
        return ZEXP_ERR_END_RECORD;
    }
    ULONGLONG ullBack = ullSize < SEARCH_BACK ? ullSize : SEARCH_BACK;
    ULONGLONG ullTailPos = ullSize - ullBack;
    std::vector<BYTE> tail(static_cast<size_t>(ullBack));
    if (!tail.empty() && !stream.ReadAt(ullTailPos, tail.data(), tail.size()))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！アーカイブ再読込失敗\u3000<%s>", ME, pszArchive);
        return ZEXP_ERR_END_RECORD;
    }

    // The library reads a record cut off by the end of the file as if complete, with made-up
    // fields: such a record gives no bounds to trust.
    auto load = [&](ULONGLONG ullPos, BYTE* p, size_t cb) {
        if (ullPos + cb > ullSize)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！終端レコード不完全\u3000pos=%I64u size=%I64u\u3000<%s>", ME, ullPos,
                    ullSize, pszArchive);
            return false;
        }
        if (!stream.ReadAt(ullPos, p, cb))
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！アーカイブ再読込失敗\u3000<%s>", ME, pszArchive);
            return false;
        }
        return true;
    };

    // The library takes the zip64 record whenever a locator leads to one.
    ULONGLONG ullLocator = FindLast(tail, ullTailPos, "PK\x06\x07");
    if (ullLocator != 0)
    {
        BYTE loc[LOCATOR_BYTES];
        if (!load(ullLocator, loc, sizeof(loc)))
            return ZEXP_ERR_END_RECORD;
        ULONGLONG ullRecord = Le64(loc + 8);
        BYTE rec64[END_RECORD64_BYTES];
        if (Le32(loc + 4) == 0 && Le32(loc + 16) == 1 && ullRecord < ullSize && ullSize - ullRecord >= 4 &&
            stream.ReadAt(ullRecord, rec64, 4) && memcmp(rec64, "PK\x06\x06", 4) == 0)
        {
            if (!load(ullRecord, rec64, sizeof(rec64)))
                return ZEXP_ERR_END_RECORD;
            dir.ullSize = Le64(rec64 + 40);
            dir.ullOffset = Le64(rec64 + 48);
            return ERROR_OK;
        }
    }

    ULONGLONG ullEnd = FindLast(tail, ullTailPos, "PK\x05\x06");
    BYTE rec[END_RECORD_BYTES];
    if (ullEnd == 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！終端レコードなし\u3000size=%I64u\u3000<%s>", ME, ullSize, pszArchive);
        return ZEXP_ERR_END_RECORD;
    }
    if (!load(ullEnd, rec, sizeof(rec)))
        return ZEXP_ERR_END_RECORD;
    dir.ullSize = Le32(rec + 12);
    dir.ullOffset = Le32(rec + 16);
    return ERROR_OK;
}
