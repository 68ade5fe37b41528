#include "enc/EncFile.h"

#include <string.h>

#include "enc/aes197.h"
#include "common/GpErrorText.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/GpTrace.h"
#include "enc/keygeneration.h"

namespace
{
constexpr int HD1A_SIZE = 16;
constexpr int ENC_HDR_SIZE = 32; // header 1b
constexpr int SEGMENT = 16384;   // each segment is its own CBC chain from the file IV
constexpr int WORK_SIZE = SEGMENT + 8;
constexpr LONGLONG MAX_ENC_SIZE = 2000000000;
constexpr int RAND1_MIN = 236;
constexpr int RAND1_MOD = 57024;
constexpr int RAND_SUM = 0xEEEE;
constexpr int OPEN_ATTEMPTS = 10;
constexpr DWORD OPEN_RETRY_MS = 1000;
// The odd positions of the file IV: ours, the same for every file.
constexpr BYTE IV_CONSTANT[8] = {0x5A, 0x93, 0x1E, 0xC7, 0x68, 0x2B, 0xF4, 0x0D};

EncFileTickFn s_pfnTick = nullptr;

DWORD TickCount()
{
    return (s_pfnTick != nullptr) ? s_pfnTick() : GetTickCount();
}

DWORD ErrOr(DWORD dwErr, DWORD dwDefault)
{
    return dwErr != 0 ? dwErr : dwDefault;
}

// Trace lines of a failure show the error concerned; the caller may still need it afterwards.
DWORD TraceErr(int nLevel, const wchar_t* pszFormat, const wchar_t* pszName, DWORD dwErr)
{
    GPTRACE(nLevel, pszFormat, pszName, GpErrText(static_cast<int>(dwErr)));
    SetLastError(dwErr);
    return dwErr;
}

// "XX XX XX XX - XX ... XX " for 16 bytes.
void DumpLine(const wchar_t* pszName, const BYTE* p)
{
    static const wchar_t HEX[] = L"0123456789ABCDEF";
    wchar_t sz[64];
    int n = 0;
    for (int i = 0; i < 16; i++)
    {
        if (i > 0 && i % 4 == 0)
        {
            sz[n++] = L'-';
            sz[n++] = L' ';
        }
        sz[n++] = HEX[p[i] >> 4];
        sz[n++] = HEX[p[i] & 0x0F];
        sz[n++] = L' ';
    }
    sz[n] = L'\0';
    GPTRACE(TRACE_DEBUG, L"[%s] %s", pszName, sz);
}

} // namespace

void EncFileSetTickSource(EncFileTickFn pfn)
{
    s_pfnTick = pfn;
}

EncFile::EncFile() : m_nEncVersion(0), m_nData(0) {}

EncFile::~EncFile()
{
    Close();
    FreeData();
    if (m_key.GetSize() > 0)
        SecureZeroMemory(m_key.GetData(), static_cast<SIZE_T>(m_key.GetSize()));
}

void EncFile::Close()
{
    m_hFile.Reset();
}

void EncFile::Attach(const wchar_t* pszPath, GpFile&& file)
{
    m_hFile = std::move(file);
    m_strPath.Copy(pszPath);
}

void EncFile::FreeData()
{
    m_pData.Reset();
    m_nData = 0;
}

void EncFile::SetKey(const void* pKey, int nKey)
{
    if (m_key.GetSize() > 0)
        SecureZeroMemory(m_key.GetData(), static_cast<SIZE_T>(m_key.GetSize()));
    m_key.SetSize(0);
    if (nKey < 0)
        nKey = 0;
    m_key.SetSize(nKey + 1); // zero-filled: the terminator is in place
    if (nKey > 0)
        memcpy(m_key.GetData(), pKey, static_cast<size_t>(nKey));
}

void EncFile::MakeSalt(const BYTE* pHd1a, BYTE* pSalt)
{
    for (int k = 0; k < PBKDF2_SALT_LEN; k++)
        pSalt[k] = pHd1a[HD1A_SIZE - 1 - (k % HD1A_SIZE)];
}

void EncFile::MakeIv(const BYTE* pHd1a, BYTE* pIv)
{
    // Rand1, Rand2, cb, nVersion, RandMul; EncSize stays out.
    static const int FROM[8] = {1, 2, 4, 5, 0, 3, 14, 15};
    for (int i = 0; i < 8; i++)
    {
        pIv[2 * i] = pHd1a[FROM[i]];
        pIv[2 * i + 1] = IV_CONSTANT[i];
    }
}

int EncFile::Open(const wchar_t* pszPath, DWORD dwDesiredAccess, DWORD dwShareMode,
                  DWORD dwCreationDisposition)
{
    static const wchar_t FN[] = L"EncFile::Open";
    Close();
    if (pszPath != nullptr && pszPath[0] != L'\0' && wcscmp(pszPath, m_strPath.c_str()) != 0)
        m_strPath.Copy(pszPath);
    if (m_strPath.IsEmpty())
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！Path\u3000", FN);
        return ERROR_INVALID_FUNCTION;
    }
    // Another process may hold the file for a moment: wait a second after every sharing
    // violation, ten attempts in all.
    for (int nAttempt = 1;; nAttempt++)
    {
        m_hFile.Reset(CreateFileW(m_strPath.c_str(), dwDesiredAccess, dwShareMode, nullptr,
                                  dwCreationDisposition, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (m_hFile)
            return ERROR_OK;
        DWORD dwErr = GetLastError();
        if (dwErr != ERROR_SHARING_VIOLATION)
            return static_cast<int>(dwErr);
        GpSleep(OPEN_RETRY_MS);
        if (nAttempt >= OPEN_ATTEMPTS)
            return ERROR_SHARING_VIOLATION;
    }
}

bool EncFile::SetData(const void* pData, int nData)
{
    static const wchar_t FN[] = L"EncFile::SetData";
    FreeData();
    if (nData < 0 || (pData == nullptr && nData > 0))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！nData=%d.", FN, nData);
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Room for the padding to a whole block and 8 more bytes.
    SIZE_T cbRounded = (static_cast<SIZE_T>(nData) + 15) & ~static_cast<SIZE_T>(15);
    m_pData.Reset(HeapAlloc(GetProcessHeap(), 0, cbRounded + 8));
    if (!m_pData)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        GPTRACE(TRACE_ERROR, L"[%s] ！HAlloc(%u).\u3000｛%s｝", FN, static_cast<unsigned>(cbRounded),
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        m_nData = 0;
        return false;
    }
    m_nData = nData;
    if (nData > 0)
        memcpy(GetData(), pData, static_cast<size_t>(nData));
    // Zero padding: no stale heap bytes go into the file.
    memset(GetData() + nData, 0, cbRounded + 8 - static_cast<SIZE_T>(nData));
    return true;
}

// ---- Write ----

int EncFile::Write()
{
    static const wchar_t FN[] = L"EncFile::Write";
    if (!HasFile())
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！m_hFile  strPath=<%s> szPath=<%s>.", FN, m_strPath.c_str(), L"");
        return ERROR_INVALID_FUNCTION;
    }
    Header1a hd1a = {};
    int rc = WriteHeader1a(hd1a);
    if (rc != ERROR_OK)
    {
        TraceErr(TRACE_ERROR, L"[%s] ！WriteHeader1a\u3000｛%s｝", FN, static_cast<DWORD>(rc));
        return rc;
    }
    BYTE roundKey[240] = {};
    int nRoundKeyLen = MakeRoundKey(true, hd1a, roundKey);
    if (nRoundKeyLen < 0)
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！MakeRoundKey rc=%d.\u3000｛%s｝", FN, nRoundKeyLen,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    Header1b hd1b = {};
    rc = WriteHeader1b(hd1a, roundKey, nRoundKeyLen, hd1b);
    if (rc == ERROR_OK)
    {
        rc = EncryptContents(hd1a, hd1b, roundKey, nRoundKeyLen);
        if (rc != ERROR_OK)
            TraceErr(TRACE_ERROR, L"[%s] ！EncryptContents()\u3000｛%s｝", FN, static_cast<DWORD>(rc));
    }
    SecureZeroMemory(roundKey, sizeof(roundKey));
    return rc;
}

int EncFile::WriteHeader1a(Header1a& hd1a)
{
    static const wchar_t FN[] = L"EncFile::WriteHeader1a";
    if (!HasFile())
    {
        GPTRACE(TRACE_FATAL, L"[%s] ！m_hFile  strPath=<%s>.", FN, m_strPath.c_str());
        return ERROR_INVALID_FUNCTION;
    }
    if (SetFilePointer(m_hFile.Get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_INVALID_FUNCTION);
        return static_cast<int>(TraceErr(TRACE_ERROR, L"[%s] ！Seek()\u3000｛%s｝", FN, dwErr));
    }
    hd1a.cb = HD1A_SIZE;
    hd1a.nVersion = m_nEncVersion;
    if (static_cast<unsigned>(m_nData) > 0x7FFFFFDFu)
    {
        GPTRACE(TRACE_ERROR, L"[%s] データサイズ(=%d)が大きすぎます。(EncHdrSize=%d)", FN, m_nData,
                ENC_HDR_SIZE);
        return ERROR_INVALID_DATA;
    }
    // Unsigned: the largest lengths round up to 2^31, which must stay positive to be refused.
    DWORD dwEncSize = (static_cast<DWORD>(ENC_HDR_SIZE) + static_cast<DWORD>(m_nData) + 15u) & ~15u;
    hd1a.EncSize = static_cast<LONGLONG>(dwEncSize);
    if (hd1a.EncSize > MAX_ENC_SIZE)
    {
        GPTRACE(TRACE_ERROR, L"[%s] データサイズ(=%d)が大きすぎます。(EncSize=%I64d)\u3000｛%s｝", FN,
                m_nData, hd1a.EncSize, GpErrText(ERROR_INVALID_DATA));
        return ERROR_INVALID_DATA;
    }
    DWORD dwRand1 = (TickCount() + 49456u) % static_cast<DWORD>(RAND1_MOD);
    if (dwRand1 < RAND1_MIN)
        dwRand1 += RAND1_MIN;
    hd1a.Rand1 = static_cast<WORD>(dwRand1);
    hd1a.Rand2 = static_cast<WORD>(RAND_SUM - hd1a.Rand1);
    if (hd1a.nVersion != 1 && hd1a.nVersion != 2)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！Version=%d.", FN, hd1a.nVersion);
        return ERROR_INVALID_PARAMETER;
    }
    hd1a.RandMul = static_cast<WORD>(static_cast<DWORD>(hd1a.Rand1) * hd1a.Rand2);
    DWORD cbWritten = 0;
    if (!GpWriteFile(m_hFile.Get(), &hd1a, HD1A_SIZE, &cbWritten) || cbWritten != HD1A_SIZE)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_WRITE_FAULT);
        return static_cast<int>(TraceErr(TRACE_ERROR, L"[%s] ！WriteFile\u3000｛%s｝", FN, dwErr));
    }
    return ERROR_OK;
}

int EncFile::MakeRoundKey(bool bEncrypt, const Header1a& hd1a, BYTE* pRoundKey)
{
    static const wchar_t FN[] = L"EncFile::MakeRoundKey";
    const int nPwdLen = m_key.GetSize() - 1;
    if (nPwdLen < 16)
    {
        // Shown as narrow text; copied so that a key without its terminator is not read past.
        char szPwd[17] = {};
        if (nPwdLen > 0)
            memcpy(szPwd, m_key.GetData(), static_cast<size_t>(nPwdLen));
        GPTRACE(TRACE_ERROR, L"[%s] 復号鍵は16ﾊﾞｲﾄ以上必要です。\u3000len=%d <%S>", FN, nPwdLen, szPwd);
        SetLastError(ERROR_INVALID_FUNCTION);
        return -223;
    }
    BYTE salt[PBKDF2_SALT_LEN];
    MakeSalt(reinterpret_cast<const BYTE*>(&hd1a), salt);
    int nKeyLen;
    if (hd1a.nVersion == 1)
        nKeyLen = 32;
    else if (hd1a.nVersion == 2)
        nKeyLen = 16;
    else
    {
        GPTRACE(TRACE_ERROR, L"[%s] 未対応バージョンです。\u3000hd1a.nVersion=%d.", FN, hd1a.nVersion);
        SetLastError(ERROR_INVALID_PARAMETER);
        return -251;
    }
    BYTE key[32] = {};
    int rc = EncDll_KeyGen(m_key.GetData(), nPwdLen, salt, key, nKeyLen);
    if (rc < 0)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_INVALID_FUNCTION);
        GPTRACE(TRACE_ERROR, L"[%s] ！EncDll_KeyGen rc=%d.\u3000｛%s｝", FN, rc,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return -260;
    }
    int nRoundKeyLen = 0;
    rc = bEncrypt ? EncryptKeyExpansion(key, nKeyLen, pRoundKey, &nRoundKeyLen)
                  : DecryptKeyExpansion(key, nKeyLen, pRoundKey, &nRoundKeyLen);
    SecureZeroMemory(key, sizeof(key));
    if (rc < 0)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_INVALID_FUNCTION);
        GPTRACE(TRACE_ERROR,
                bEncrypt ? L"[%s] ！EncryptKeyExpansion rc=%d.\u3000｛%s｝"
                         : L"[%s] ！DecryptKeyExpansion rc=%d.\u3000｛%s｝",
                FN, rc, GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return bEncrypt ? -291 : -275;
    }
    return nRoundKeyLen;
}

int EncFile::WriteHeader1b(const Header1a& hd1a, const BYTE* pRoundKey, int nRoundKeyLen, Header1b& hd1b)
{
    static const wchar_t FN[] = L"EncFile::WriteHeader1b";
    hd1b.cb = ENC_HDR_SIZE;
    hd1b.r1 = hd1a.Rand1;
    hd1b.r2 = hd1a.Rand2;
    hd1b.reserved = 0;
    hd1b.size = m_nData;
    memcpy(hd1b.KeyCheck, m_key.GetData(), sizeof(hd1b.KeyCheck));
    BYTE iv[16];
    MakeIv(reinterpret_cast<const BYTE*>(&hd1a), iv);
    BYTE block[ENC_HDR_SIZE];
    memcpy(block, &hd1b, ENC_HDR_SIZE);
    EncryptionCBC(block, block, ENC_HDR_SIZE, pRoundKey, nRoundKeyLen, iv);
    DWORD cbWritten = 0;
    if (!GpWriteFile(m_hFile.Get(), block, ENC_HDR_SIZE, &cbWritten) || cbWritten != ENC_HDR_SIZE)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_WRITE_FAULT);
        return static_cast<int>(TraceErr(TRACE_ERROR, L"[%s] ！WriteFile\u3000｛%s｝", FN, dwErr));
    }
    return ERROR_OK;
}

int EncFile::EncryptContents(const Header1a& hd1a, const Header1b& hd1b, const BYTE* pRoundKey,
                             int nRoundKeyLen)
{
    static const wchar_t FN[] = L"EncFile::EncryptContents";
    static const BYTE s_empty[16] = {};
    const BYTE* pData = GetData();
    if (pData == nullptr)
    {
        if (hd1b.size != 0)
        {
            DWORD dwErr = ErrOr(GetLastError(), ERROR_INVALID_FUNCTION);
            GPTRACE(TRACE_ERROR, L"[%s] ！GetData() with size=%I64d.\u3000｛%s｝", FN, hd1b.size,
                    GpErrText(static_cast<int>(dwErr)));
            SetLastError(dwErr);
            return static_cast<int>(dwErr);
        }
        pData = s_empty;
    }
    GpHeapBlock work(HeapAlloc(GetProcessHeap(), 0, WORK_SIZE));
    if (work.Get() == nullptr)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        GPTRACE(TRACE_ERROR, L"[%s] HAlloc<%d>.\u3000｛%s｝", FN, SEGMENT,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    BYTE iv[16];
    MakeIv(reinterpret_cast<const BYTE*>(&hd1a), iv);
    LONGLONG nRemaining = hd1a.EncSize - ENC_HDR_SIZE;
    const BYTE* p = pData;
    while (nRemaining >= 1)
    {
        int n = (nRemaining < SEGMENT) ? static_cast<int>(nRemaining) : SEGMENT;
        EncryptionCBC(p, static_cast<BYTE*>(work.Get()), n, pRoundKey, nRoundKeyLen, iv);
        DWORD cbWritten = 0;
        if (!GpWriteFile(m_hFile.Get(), work.Get(), static_cast<DWORD>(n), &cbWritten) ||
            cbWritten != static_cast<DWORD>(n))
        {
            DWORD dwErr = ErrOr(GetLastError(), ERROR_WRITE_FAULT);
            return static_cast<int>(TraceErr(TRACE_ERROR, L"[%s] ！WriteFile\u3000｛%s｝", FN, dwErr));
        }
        p += n;
        nRemaining -= n;
    }
    return ERROR_OK;
}

// ---- Read ----

int EncFile::Read()
{
    static const wchar_t FN[] = L"EncFile::Read";
    FreeData();
    if (!HasFile())
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！m_hFile  strPath=<%s> szPath=<%s>.", FN, m_strPath.c_str(), L"");
        return ERROR_INVALID_FUNCTION;
    }
    Header1a hd1a = {};
    int rc = ReadHeader1a(hd1a);
    if (rc != ERROR_OK)
    {
        TraceErr(TRACE_ERROR, L"[%s] ！ReadHeader1a()\u3000｛%s｝", FN, static_cast<DWORD>(rc));
        return rc;
    }
    BYTE roundKey[240] = {};
    int nRoundKeyLen = MakeRoundKey(false, hd1a, roundKey);
    if (nRoundKeyLen < 0)
    {
        DWORD dwErr = GetLastError();
        GPTRACE(TRACE_ERROR, L"[%s] ！MakeRoundKey rc=%d.\u3000｛%s｝", FN, nRoundKeyLen,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    BYTE iv[16];
    MakeIv(reinterpret_cast<const BYTE*>(&hd1a), iv);
    Header1b hd1b = {};
    rc = ReadHeader1b(hd1a, roundKey, nRoundKeyLen, iv, hd1b);
    if (rc != ERROR_OK)
        TraceErr(TRACE_ERROR, L"[%s] ！ReadHeader1b()\u3000｛%s｝", FN, static_cast<DWORD>(rc));
    else
    {
        rc = DecryptContents(hd1a, hd1b, roundKey, nRoundKeyLen, iv);
        if (rc != ERROR_OK)
        {
            // Part of the contents is not there: nothing half-read is left to be used.
            FreeData();
            TraceErr(TRACE_ERROR, L"[%s] ！DecryptContents()\u3000｛%s｝", FN, static_cast<DWORD>(rc));
        }
    }
    SecureZeroMemory(roundKey, sizeof(roundKey));
    return rc;
}

int EncFile::ReadHeader1a(Header1a& hd1a)
{
    static const wchar_t FN[] = L"EncFile::ReadHeader1a";
    if (!HasFile())
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！m_hFile  strPath=<%s>.", FN, m_strPath.c_str());
        return ERROR_INVALID_FUNCTION;
    }
    if (SetFilePointer(m_hFile.Get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_INVALID_FUNCTION);
        return static_cast<int>(TraceErr(TRACE_ERROR, L"[%s] ！Seek()\u3000｛%s｝", FN, dwErr));
    }
    DWORD cbRead = 0;
    if (!ReadFile(m_hFile.Get(), &hd1a, HD1A_SIZE, &cbRead, nullptr) || cbRead < HD1A_SIZE)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_INVALID_DATA);
        GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile() cb=%u. (need=%u).\u3000｛%s｝", FN, cbRead, HD1A_SIZE,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    if (hd1a.cb != HD1A_SIZE)
    {
        GPTRACE(TRACE_ERROR, L"[%s] 非暗号データ？\u3000hd1a.cb=%u.", FN, hd1a.cb);
        return ERROR_INVALID_DATA;
    }
    if (hd1a.Rand1 < RAND1_MIN || hd1a.Rand1 > RAND1_MOD)
    {
        GPTRACE(TRACE_ERROR, L"[%s] 非暗号データ？\u3000Rand1=%u.", FN, hd1a.Rand1);
        return ERROR_INVALID_DATA;
    }
    if (hd1a.Rand1 + hd1a.Rand2 != RAND_SUM)
    {
        GPTRACE(TRACE_ERROR, L"[%s] 非暗号データ？\u3000R1(0x%04X)+R2(0x%04X)=0x%04X.", FN, hd1a.Rand1,
                hd1a.Rand2, hd1a.Rand1 + hd1a.Rand2);
        return ERROR_INVALID_DATA;
    }
    if (hd1a.EncSize < 16 || hd1a.EncSize % 16 != 0 || hd1a.EncSize > MAX_ENC_SIZE)
    {
        GPTRACE(TRACE_ERROR, L"[%s] 暗号データサイズ(=%I64d)が不正です。\u3000｛%s｝", FN, hd1a.EncSize,
                GpErrText(ERROR_INVALID_DATA));
        return ERROR_INVALID_DATA;
    }
    if (hd1a.nVersion != 1 && hd1a.nVersion != 2)
    {
        GPTRACE(TRACE_WARNING, L"[%s] 非暗号データ？\u3000Version=%d.", FN, hd1a.nVersion);
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_OK;
}

int EncFile::ReadHeader1b(const Header1a& hd1a, const BYTE* pRoundKey, int nRoundKeyLen, const BYTE* pIv,
                          Header1b& hd1b)
{
    static const wchar_t FN[] = L"EncFile::ReadHeader1b";
    BYTE block[ENC_HDR_SIZE] = {};
    DWORD cbRead = 0;
    // A file that ends inside header 1b is damaged, not encrypted with another key.
    if (!ReadFile(m_hFile.Get(), block, ENC_HDR_SIZE, &cbRead, nullptr) || cbRead < ENC_HDR_SIZE)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_INVALID_DATA);
        GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile(%s)\u3000｛%s｝", FN, m_strPath.c_str(),
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    DecryptionCBC(block, block, ENC_HDR_SIZE, pRoundKey, nRoundKeyLen, pIv);
    memcpy(&hd1b, block, ENC_HDR_SIZE);
    SecureZeroMemory(block, sizeof(block));
    if (memcmp(hd1b.KeyCheck, m_key.GetData(), sizeof(hd1b.KeyCheck)) != 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] キーが違います。\u3000｛%s｝", FN, GpErrText(ERROR_DECRYPTION_FAILED));
        DumpLine(FN, m_key.GetData());
        DumpLine(FN, hd1b.KeyCheck);
        return ERROR_DECRYPTION_FAILED;
    }
    if (hd1b.r1 != hd1a.Rand1 || hd1b.r2 != hd1a.Rand2)
    {
        GPTRACE(TRACE_ERROR, L"[%s] キーが違います。hd1a/dec: r1=%u/%u r2=%u/%u\u3000｛%s｝", FN, hd1a.Rand1,
                hd1b.r1, hd1a.Rand2, hd1b.r2, GpErrText(ERROR_DECRYPTION_FAILED));
        return ERROR_DECRYPTION_FAILED;
    }
    const int nContents = static_cast<int>(static_cast<DWORD>(hd1a.EncSize)) - ENC_HDR_SIZE;
    if (nContents < 16 || nContents % 16 != 0 || hd1a.EncSize >= 0x7FFFFFFF)
    {
        GPTRACE(TRACE_ERROR, L"[%s] 暗号データサイズ(=%I64d)が不正です。\u3000｛%s｝", FN, hd1a.EncSize,
                GpErrText(ERROR_INVALID_DATA));
        return ERROR_INVALID_DATA;
    }
    if (hd1b.size < 0 || hd1b.size > nContents)
    {
        GPTRACE(TRACE_ERROR, L"[%s] データサイズ不正。enc/dec: size=%d/%I64d\u3000｛%s｝", FN, nContents,
                hd1b.size, GpErrText(ERROR_INVALID_DATA));
        return ERROR_INVALID_DATA;
    }
    return ERROR_OK;
}

int EncFile::DecryptContents(const Header1a& hd1a, const Header1b& hd1b, const BYTE* pRoundKey,
                             int nRoundKeyLen, const BYTE* pIv)
{
    static const wchar_t FN[] = L"EncFile::DecryptContents";
    GpHeapBlock work(HeapAlloc(GetProcessHeap(), 0, WORK_SIZE));
    if (work.Get() == nullptr)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        GPTRACE(TRACE_ERROR, L"[%s] HAlloc<%d>.\u3000｛%s｝", FN, SEGMENT,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    FreeData();
    const int nContents = static_cast<int>(hd1a.EncSize - ENC_HDR_SIZE); // checked by ReadHeader1b
    // The headers are the file's word only: a file shorter than they claim is refused before
    // its claimed size is allocated (up to 2 GB).
    LARGE_INTEGER liSize = {}, liPos = {}, liZero = {};
    if (GetFileSizeEx(m_hFile.Get(), &liSize) &&
        SetFilePointerEx(m_hFile.Get(), liZero, &liPos, FILE_CURRENT) &&
        liSize.QuadPart - liPos.QuadPart < nContents)
    {
        LONGLONG llHave = liSize.QuadPart > liPos.QuadPart ? liSize.QuadPart - liPos.QuadPart : 0;
        GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile\u3000 need=%u cb=%u 残り=%u.\u3000path=%s", FN, nContents,
                static_cast<unsigned>(llHave), nContents, m_strPath.c_str());
        return ERROR_INVALID_DATA;
    }
    m_pData.Reset(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(nContents) + 8));
    if (!m_pData)
    {
        DWORD dwErr = ErrOr(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        GPTRACE(TRACE_ERROR, L"[%s] HAlloc<%d>\u3000｛%s｝", FN, static_cast<int>(hd1b.size),
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return static_cast<int>(dwErr);
    }
    m_nData = nContents;
    memset(GetData() + nContents, 0, 8); // ends the data for owners that look for a terminator
    int nRemaining = nContents;
    BYTE* p = GetData();
    while (nRemaining >= 1)
    {
        int n = (nRemaining < SEGMENT) ? nRemaining : SEGMENT;
        DWORD cbRead = 0;
        if (!ReadFile(m_hFile.Get(), work.Get(), static_cast<DWORD>(n), &cbRead, nullptr))
        {
            DWORD dwErr = ErrOr(GetLastError(), ERROR_INVALID_DATA);
            GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile\u3000｛%s｝\u3000path=%s", FN,
                    GpErrText(static_cast<int>(dwErr)), m_strPath.c_str());
            SetLastError(dwErr);
            return static_cast<int>(dwErr);
        }
        if (cbRead != static_cast<DWORD>(n))
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile\u3000 need=%u cb=%u 残り=%u.\u3000path=%s", FN, n, cbRead,
                    nRemaining, m_strPath.c_str());
            return ERROR_INVALID_DATA;
        }
        DecryptionCBC(static_cast<BYTE*>(work.Get()), p, n, pRoundKey, nRoundKeyLen, pIv);
        p += n;
        nRemaining -= n;
    }
    return ERROR_OK;
}
