#include "app/StatusRecord.h"

#include <string.h>
#include <wchar.h>

#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTempFile.h"

namespace
{
// A scanner or the client's reader may hold the status file for a moment: opening it waits as
// the other file opens do (10 attempts, 1 s apart).
constexpr int STATUS_OPEN_ATTEMPTS = 10;
constexpr DWORD STATUS_RETRY_MS = 1000;
// The rename of the new file over the old one waits a little for a reader.
constexpr int REPLACE_ATTEMPTS = 10;
constexpr DWORD REPLACE_RETRY_MS = 100;
constexpr int MAX_KEYS = 8;

enum class IniEncoding
{
    Ansi,
    Utf8,
    Utf16Le,
    Utf16Be
};

// The file seen as code units of its encoding (1 or 2 bytes).
struct IniText
{
    const BYTE* p;
    DWORD cb;
    IniEncoding enc;
    DWORD cbUnit;
    DWORD nUnits() const { return cb / cbUnit; }
    unsigned Unit(DWORD i) const
    {
        if (cbUnit == 1)
            return p[i];
        const BYTE* q = p + 2 * i;
        return enc == IniEncoding::Utf16Le ? q[0] | (q[1] << 8) : (q[0] << 8) | q[1];
    }
};

DWORD BomSize(const BYTE* p, DWORD cb, IniEncoding& enc)
{
    if (cb >= 2 && p[0] == 0xFF && p[1] == 0xFE)
    {
        enc = IniEncoding::Utf16Le;
        return 2;
    }
    if (cb >= 2 && p[0] == 0xFE && p[1] == 0xFF)
    {
        enc = IniEncoding::Utf16Be;
        return 2;
    }
    if (cb >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
    {
        enc = IniEncoding::Utf8;
        return 3;
    }
    enc = IniEncoding::Ansi;
    return 0;
}

// Units [from, to) of the text as wide characters into pw (room for to - from + 1); the count.
int Decode(const IniText& t, DWORD from, DWORD to, wchar_t* pw)
{
    int n = 0;
    if (t.cbUnit == 2)
    {
        for (DWORD i = from; i < to; i++)
            pw[n++] = static_cast<wchar_t>(t.Unit(i));
    }
    else if (to > from)
    {
        UINT cp = t.enc == IniEncoding::Utf8 ? CP_UTF8 : CP_ACP;
        n = MultiByteToWideChar(cp, 0, reinterpret_cast<const char*>(t.p + from), static_cast<int>(to - from),
                                pw, static_cast<int>(to - from));
        if (n < 0)
            n = 0;
    }
    pw[n] = L'\0';
    return n;
}

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

// Trimmed [p, p + n) compared with psz without regard to case.
bool SameName(const wchar_t* p, int n, const wchar_t* psz)
{
    while (n > 0 && IsBlank(*p))
    {
        p++;
        n--;
    }
    while (n > 0 && IsBlank(p[n - 1]))
        n--;
    return CompareStringOrdinal(p, n, psz, -1, TRUE) == CSTR_EQUAL;
}

// Bytes written in the file's encoding.
class Output
{
public:
    bool Init(DWORD cbCapacity)
    {
        m_block.Reset(HeapAlloc(GetProcessHeap(), 0, cbCapacity));
        m_cbCapacity = cbCapacity;
        return static_cast<bool>(m_block);
    }
    void Bytes(const BYTE* p, DWORD cb)
    {
        if (cb > m_cbCapacity - m_cb)
        {
            m_bOver = true;
            return;
        }
        memcpy(static_cast<BYTE*>(m_block.Get()) + m_cb, p, cb);
        m_cb += cb;
    }
    void Text(const wchar_t* psz, IniEncoding enc)
    {
        int n = static_cast<int>(wcslen(psz));
        if (enc == IniEncoding::Utf16Le || enc == IniEncoding::Utf16Be)
        {
            for (int i = 0; i < n; i++)
            {
                unsigned c = psz[i];
                BYTE b[2] = {static_cast<BYTE>(c & 0xFF), static_cast<BYTE>(c >> 8)};
                if (enc == IniEncoding::Utf16Be)
                {
                    BYTE x = b[0];
                    b[0] = b[1];
                    b[1] = x;
                }
                Bytes(b, 2);
            }
            return;
        }
        if (n == 0)
            return;
        UINT cp = enc == IniEncoding::Utf8 ? CP_UTF8 : CP_ACP;
        int cb = WideCharToMultiByte(cp, 0, psz, n, nullptr, 0, nullptr, nullptr);
        if (cb <= 0 || static_cast<DWORD>(cb) > m_cbCapacity - m_cb)
        {
            m_bOver = true;
            return;
        }
        WideCharToMultiByte(cp, 0, psz, n, reinterpret_cast<char*>(static_cast<BYTE*>(m_block.Get()) + m_cb),
                            cb, nullptr, nullptr);
        m_cb += static_cast<DWORD>(cb);
    }
    bool Over() const { return m_bOver; }
    GpHeapBlock& Block() { return m_block; }
    DWORD Size() const { return m_cb; }

private:
    GpHeapBlock m_block;
    DWORD m_cbCapacity = 0;
    DWORD m_cb = 0;
    bool m_bOver = false;
};

void KeyLine(Output& out, const StatusKey& k, IniEncoding enc, bool bLineEnd)
{
    out.Text(k.pszKey, enc);
    out.Text(L"=", enc);
    out.Text(k.pszValue, enc);
    if (bLineEnd)
        out.Text(L"\r\n", enc);
}

bool BreaksLines(const wchar_t* psz, bool bSection)
{
    for (; *psz != L'\0'; psz++)
        if (*psz == L'\r' || *psz == L'\n' || (bSection && *psz == L']'))
            return true;
    return false;
}

struct Edit
{
    DWORD from; // units
    DWORD to;
    int nKey; // the key whose line replaces [from, to); -1: the missing keys go in here
};
} // namespace

int BuildStatusFile(const BYTE* pOld, DWORD cbOld, const wchar_t* pszSection, const StatusKey* pKeys,
                    int nKeys, GpHeapBlock& out, DWORD& cbOut)
{
    cbOut = 0;
    if (nKeys <= 0 || nKeys > MAX_KEYS || pszSection[0] == L'\0' || BreaksLines(pszSection, true))
        return ERROR_INVALID_DATA;
    size_t cchNew = wcslen(pszSection) + 8;
    for (int k = 0; k < nKeys; k++)
    {
        if (BreaksLines(pKeys[k].pszKey, false) || BreaksLines(pKeys[k].pszValue, false))
            return ERROR_INVALID_DATA;
        cchNew += wcslen(pKeys[k].pszKey) + wcslen(pKeys[k].pszValue) + 4;
    }
    if (cbOld > STATUS_FILE_MAX || cchNew > 64 * 1024)
        return ERROR_INVALID_DATA;

    IniEncoding enc;
    DWORD cbBom = BomSize(pOld, cbOld, enc);
    IniText t = {pOld + cbBom, cbOld - cbBom, enc,
                 (enc == IniEncoding::Utf16Le || enc == IniEncoding::Utf16Be) ? 2u : 1u};
    DWORD nUnits = t.nUnits();
    GpHeapBlock wide(HeapAlloc(GetProcessHeap(), 0, (static_cast<SIZE_T>(nUnits) + 1) * sizeof(wchar_t)));
    if (!wide)
        return ERROR_NOT_ENOUGH_MEMORY;
    wchar_t* pw = static_cast<wchar_t*>(wide.Get());

    // Where the section's keys stand and where its last line ends.
    DWORD keyFrom[MAX_KEYS], keyTo[MAX_KEYS];
    bool bKeyFound[MAX_KEYS] = {};
    bool bSection = false, bInSection = false;
    DWORD insertAt = 0;
    for (DWORD i = 0; i < nUnits;)
    {
        DWORD from = i;
        while (i < nUnits && t.Unit(i) != '\r' && t.Unit(i) != '\n')
            i++;
        DWORD to = i;
        if (i < nUnits && t.Unit(i) == '\r')
            i++;
        if (i < nUnits && t.Unit(i) == '\n' && (i == to || t.Unit(i - 1) == '\r'))
            i++;
        int n = Decode(t, from, to, pw);
        int s = 0;
        while (s < n && IsBlank(pw[s]))
            s++;
        if (s < n && pw[s] == L'[')
        {
            bInSection = false;
            if (!bSection)
            {
                const wchar_t* pEnd = wmemchr(pw + s + 1, L']', static_cast<size_t>(n - s - 1));
                int cchName = pEnd != nullptr ? static_cast<int>(pEnd - (pw + s + 1)) : n - s - 1;
                if (SameName(pw + s + 1, cchName, pszSection))
                {
                    bSection = bInSection = true;
                    insertAt = i;
                }
            }
            continue;
        }
        if (!bInSection || s == n)
            continue;
        insertAt = i;
        const wchar_t* pEq = wmemchr(pw + s, L'=', static_cast<size_t>(n - s));
        if (pEq == nullptr)
            continue;
        for (int k = 0; k < nKeys; k++)
        {
            if (!bKeyFound[k] && SameName(pw + s, static_cast<int>(pEq - (pw + s)), pKeys[k].pszKey))
            {
                bKeyFound[k] = true;
                keyFrom[k] = from;
                keyTo[k] = to;
                break;
            }
        }
    }

    // Replacements in the order of the file, then the missing keys after the section's last line.
    Edit edits[MAX_KEYS + 1];
    int nEdits = 0;
    for (int k = 0; k < nKeys; k++)
    {
        if (!bKeyFound[k])
            continue;
        int j = nEdits++;
        while (j > 0 && edits[j - 1].from > keyFrom[k])
        {
            edits[j] = edits[j - 1];
            j--;
        }
        edits[j] = {keyFrom[k], keyTo[k], k};
    }
    if (!bSection)
        insertAt = nUnits;
    edits[nEdits++] = {insertAt, insertAt, -1};

    Output o;
    if (!o.Init(cbOld + static_cast<DWORD>(cchNew) * 3 + 16))
        return ERROR_NOT_ENOUGH_MEMORY;
    o.Bytes(pOld, cbBom);
    DWORD pos = 0;
    for (int e = 0; e < nEdits; e++)
    {
        o.Bytes(t.p + pos * t.cbUnit, (edits[e].from - pos) * t.cbUnit);
        pos = edits[e].to;
        if (edits[e].nKey >= 0)
        {
            KeyLine(o, pKeys[edits[e].nKey], enc, false);
            continue;
        }
        bool bMissing = !bSection;
        for (int k = 0; k < nKeys; k++)
            bMissing = bMissing || !bKeyFound[k];
        if (!bMissing)
            continue;
        // What goes in starts on a line of its own.
        if (pos > 0 && t.Unit(pos - 1) != '\r' && t.Unit(pos - 1) != '\n')
            o.Text(L"\r\n", enc);
        if (!bSection)
        {
            o.Text(L"[", enc);
            o.Text(pszSection, enc);
            o.Text(L"]\r\n", enc);
        }
        for (int k = 0; k < nKeys; k++)
            if (!bKeyFound[k])
                KeyLine(o, pKeys[k], enc, true);
    }
    o.Bytes(t.p + pos * t.cbUnit, (nUnits - pos) * t.cbUnit);
    o.Bytes(t.p + nUnits * t.cbUnit, t.cb - nUnits * t.cbUnit); // an odd last byte stays too
    if (o.Over())
        return ERROR_NOT_ENOUGH_MEMORY;
    cbOut = o.Size();
    out = std::move(o.Block());
    return ERROR_OK;
}

namespace
{
// The old file, read whole through a handle that does not follow a link; none when it is missing.
int ReadOldFile(const wchar_t* pszIni, GpFile& file, GpHeapBlock& data, DWORD& cb, const wchar_t*& pszStep)
{
    cb = 0;
    pszStep = L"CreateFile";
    for (int nAttempt = 1;; nAttempt++)
    {
        file.Reset(CreateFileW(pszIni, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file)
            break;
        DWORD dwErr = GetLastError();
        if (dwErr == ERROR_FILE_NOT_FOUND)
            return ERROR_OK;
        if (dwErr != ERROR_SHARING_VIOLATION || nAttempt >= STATUS_OPEN_ATTEMPTS)
            return static_cast<int>(dwErr);
        GpSleep(STATUS_RETRY_MS);
    }
    pszStep = L"ReadFile";
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size))
        return static_cast<int>(GetLastError());
    if (size.QuadPart > STATUS_FILE_MAX)
        return ERROR_FILE_TOO_LARGE;
    DWORD cbFile = static_cast<DWORD>(size.QuadPart);
    data.Reset(HeapAlloc(GetProcessHeap(), 0, cbFile + 1));
    if (!data)
        return ERROR_NOT_ENOUGH_MEMORY;
    while (cb < cbFile)
    {
        DWORD cbRead = 0;
        if (!ReadFile(file.Get(), static_cast<BYTE*>(data.Get()) + cb, cbFile - cb, &cbRead, nullptr))
            return static_cast<int>(GetLastError());
        if (cbRead == 0)
            break; // cut by someone meanwhile: what was read is the file
        cb += cbRead;
    }
    return ERROR_OK;
}
} // namespace

int WriteStatusFile(const wchar_t* pszIni, const wchar_t* pszSection, const StatusKey* pKeys, int nKeys,
                    const wchar_t*& pszStep)
{
    GpFile old;
    GpHeapBlock oldData;
    DWORD cbOld = 0;
    int rc = ReadOldFile(pszIni, old, oldData, cbOld, pszStep);
    if (rc != ERROR_OK)
        return rc;
    pszStep = L"BuildStatusFile";
    GpHeapBlock newData;
    DWORD cbNew = 0;
    rc = BuildStatusFile(static_cast<const BYTE*>(oldData.Get()), cbOld, pszSection, pKeys, nKeys, newData,
                         cbNew);
    if (rc != ERROR_OK)
        return rc;

    GpTempFile temp;
    pszStep = L"CreateFile";
    rc = temp.Create(pszIni);
    if (rc != ERROR_OK)
        return rc;
    pszStep = L"WriteFile";
    rc = temp.Write(newData.Get(), cbNew);
    if (rc != ERROR_OK)
        return rc; // the copy goes again with temp
    // The client keeps the access it had to the file.
    if (old)
        temp.TakeOverFrom(old.Get());
    old.Reset();
    pszStep = L"MoveFileEx";
    return temp.Commit(REPLACE_ATTEMPTS, REPLACE_RETRY_MS);
}

void RemoveStatusTemps(const wchar_t* pszIni)
{
    GpRemoveTempLeftovers(pszIni, L"LumoAgentApp::WriteUpdateStatus", 0);
}
