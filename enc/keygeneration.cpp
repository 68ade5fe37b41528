#include "enc/keygeneration.h"

#include <string.h>

#include <utility>

#include "common/GpErrorText.h"
#include "common/GpTrace.h"

namespace
{
// Traces a failed call with the error it left and gives that error back to the thread.
void TraceKept(const wchar_t* pszFormat, const wchar_t* pszName, DWORD dwErr)
{
    GPTRACE(TRACE_ERROR, pszFormat, pszName, GpErrText(static_cast<int>(dwErr)));
    SetLastError(dwErr);
}

void TraceKeptCode(const wchar_t* pszFormat, const wchar_t* pszName, int nCode, DWORD dwErr)
{
    GPTRACE(TRACE_ERROR, pszFormat, pszName, nCode, GpErrText(static_cast<int>(dwErr)));
    SetLastError(dwErr);
}

int RefusePwdLen(const wchar_t* pszName, int nPwdLen, int nCode)
{
    GPTRACE(TRACE_ERROR, L"[%s] ！pwdLen = %d.", pszName, nPwdLen);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nCode;
}
} // namespace

void HmacSession::ForgetKey()
{
    m_key.Reset();
    if (m_bytes.IsValid() && m_nBytes > 0)
        SecureZeroMemory(m_bytes.Get(), static_cast<SIZE_T>(m_nBytes));
    m_bytes.Reset();
    m_nBytes = -1;
}

namespace
{
// The provider DLL is loaded when a context is acquired and unloaded again when the last one is
// released, which costs more than the 2000 HMACs of a derivation. Keep it for the process.
void PinProviderDll()
{
    static LONG s_nPinned = 0;
    if (InterlockedExchange(&s_nPinned, 1) == 0)
    {
        HMODULE hModule = nullptr;
        DWORD dwErr = GetLastError();
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"rsaenh.dll", &hModule);
        SetLastError(dwErr);
    }
}
} // namespace

bool HmacSession::AcquireProvider()
{
    if (m_prov.IsValid())
        return true;
    if (!CryptAcquireContextW(m_prov.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return false;
    PinProviderDll();
    return true;
}

bool HmacSession::HoldsKey(const BYTE* pKey, int nKeyLen) const
{
    return m_key.IsValid() && m_nBytes == nKeyLen &&
           (nKeyLen == 0 || memcmp(m_bytes.Get(), pKey, static_cast<size_t>(nKeyLen)) == 0);
}

// The key is imported as a plain-text key blob of key length + 12 bytes.
bool HmacSession::UseKey(const wchar_t* pszName, const BYTE* pKey, int nKeyLen)
{
    if (HoldsKey(pKey, nKeyLen))
        return true;
    ForgetKey();
    const DWORD cbBlob = sizeof(BLOBHEADER) + sizeof(DWORD) + static_cast<DWORD>(nKeyLen);
    GpHeapBlock blob(HeapAlloc(GetProcessHeap(), 0, cbBlob));
    GpHeapBlock copy(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(nKeyLen) + 1));
    if (!blob.IsValid() || !copy.IsValid())
    {
        TraceKept(L"[%s] ！CryptImportKey\u3000｛%s｝", pszName, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    BYTE* pBlob = static_cast<BYTE*>(blob.Get());
    BLOBHEADER hdr;
    hdr.bType = PLAINTEXTKEYBLOB;
    hdr.bVersion = CUR_BLOB_VERSION;
    hdr.reserved = 0;
    hdr.aiKeyAlg = CALG_RC2;
    DWORD dwKeyLen = static_cast<DWORD>(nKeyLen);
    memcpy(pBlob, &hdr, sizeof(hdr));
    memcpy(pBlob + sizeof(hdr), &dwKeyLen, sizeof(dwKeyLen));
    if (nKeyLen > 0)
    {
        memcpy(pBlob + sizeof(hdr) + sizeof(dwKeyLen), pKey, dwKeyLen);
        memcpy(copy.Get(), pKey, dwKeyLen);
    }
    // CRYPT_IPSEC_HMAC_KEY admits HMAC keys longer than 16 bytes.
    BOOL bOk = CryptImportKey(m_prov.Get(), pBlob, cbBlob, 0, CRYPT_IPSEC_HMAC_KEY, m_key.Put());
    DWORD dwErr = GetLastError();
    SecureZeroMemory(pBlob, cbBlob);
    if (!bOk)
    {
        SecureZeroMemory(copy.Get(), static_cast<SIZE_T>(nKeyLen) + 1);
        TraceKept(L"[%s] ！CryptImportKey\u3000｛%s｝", pszName, dwErr);
        return false;
    }
    m_bytes = std::move(copy);
    m_nBytes = nKeyLen;
    return true;
}

bool CalcHmac(const BYTE* pKey, int nKeyLen, const BYTE* pData, int nDataLen, BYTE* pOut, int* pOutLen,
              HmacSession* pSession)
{
    static const wchar_t FN[] = L"CalcHmac";
    *pOutLen = HMAC_SHA1_LEN;
    if (nKeyLen < 0 || nDataLen < 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！keyLen = %d, dataLen = %d.", FN, nKeyLen, nDataLen);
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    HmacSession own;
    HmacSession& s = (pSession != nullptr) ? *pSession : own;
    if (!s.AcquireProvider())
    {
        TraceKept(L"[%s] ！CryptAcquireContext\u3000｛%s｝", FN, GetLastError());
        return false;
    }
    if (!s.UseKey(FN, pKey, nKeyLen))
        return false;

    GpCryptHash hash;
    if (!CryptCreateHash(s.Provider(), CALG_HMAC, s.Key(), 0, hash.Put()))
    {
        TraceKept(L"[%s] ！CryptCreateHash\u3000｛%s｝", FN, GetLastError());
        return false;
    }
    HMAC_INFO info = {};
    info.HashAlgid = CALG_SHA1; // no inner and outer strings: the standard pads
    if (!CryptSetHashParam(hash.Get(), HP_HMAC_INFO, reinterpret_cast<BYTE*>(&info), 0))
    {
        TraceKept(L"[%s] ！CryptSetHashParam\u3000｛%s｝", FN, GetLastError());
        return false;
    }
    if (!CryptHashData(hash.Get(), pData, static_cast<DWORD>(nDataLen), 0))
    {
        TraceKept(L"[%s] ！CryptHashData\u3000｛%s｝", FN, GetLastError());
        return false;
    }
    DWORD cbOut = HMAC_SHA1_LEN;
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, pOut, &cbOut, 0) || cbOut != HMAC_SHA1_LEN)
    {
        DWORD dwErr = GetLastError();
        if (dwErr == 0)
            dwErr = ERROR_INVALID_DATA;
        GPTRACE(TRACE_ERROR, L"[%s] ！CryptGetHashParam or outLen=%d.\u3000｛%s｝", FN, HMAC_SHA1_LEN,
                GpErrText(static_cast<int>(dwErr)));
        SetLastError(dwErr);
        return false;
    }
    hash.Reset();
    SetLastError(0);
    return true;
}

int KeyDerive(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pOut, BYTE nIndex,
              HmacSession* pSession)
{
    static const wchar_t FN[] = L"KeyDerive";
    SetLastError(0);
    if (nPwdLen < 1)
        return RefusePwdLen(FN, nPwdLen, -392);

    // One context and key for the 1000 HMACs of this block unless the caller shares its own.
    HmacSession own;
    HmacSession* pUse = (pSession != nullptr) ? pSession : &own;

    BYTE msg[PBKDF2_SALT_LEN + 4];
    memcpy(msg, pSalt, PBKDF2_SALT_LEN);
    msg[PBKDF2_SALT_LEN] = 0;
    msg[PBKDF2_SALT_LEN + 1] = 0;
    msg[PBKDF2_SALT_LEN + 2] = 0;
    msg[PBKDF2_SALT_LEN + 3] = nIndex;

    BYTE u[HMAC_SHA1_LEN];
    int cbU = 0;
    if (!CalcHmac(pPwd, nPwdLen, msg, sizeof(msg), u, &cbU, pUse))
    {
        TraceKept(L"[%s] ！HmacWithSHA1\u3000｛%s｝", FN, GetLastError());
        return -409;
    }
    memcpy(pOut, u, HMAC_SHA1_LEN);
    for (int it = 1; it < PBKDF2_ITERATIONS; it++)
    {
        if (!CalcHmac(pPwd, nPwdLen, u, HMAC_SHA1_LEN, u, &cbU, pUse))
        {
            TraceKept(L"[%s] ！HmacWithSHA1\u3000｛%s｝", FN, GetLastError());
            SecureZeroMemory(u, sizeof(u));
            return -422;
        }
        for (int k = 0; k < HMAC_SHA1_LEN; k++)
            pOut[k] ^= u[k];
    }
    SecureZeroMemory(u, sizeof(u));
    SetLastError(0);
    return 1;
}

int EncDll_PBKDF2(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pOut, int nOutLen)
{
    static const wchar_t FN[] = L"EncDll_PBKDF2";
    if (nPwdLen < 1)
        return RefusePwdLen(FN, nPwdLen, -447);
    // The last block is copied in part, so a length of 0 or below would still write 20 bytes;
    // past 255 blocks the one-byte index would wrap.
    if (nOutLen < 1 || nOutLen > PBKDF2_MAX_OUT)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！outLen = %d.", FN, nOutLen);
        SetLastError(ERROR_INVALID_PARAMETER);
        return -447;
    }

    HmacSession session; // one provider context and key for the whole derivation
    int n = nOutLen / HMAC_SHA1_LEN + ((nOutLen % HMAC_SHA1_LEN) ? 1 : 0);
    for (int i = 1; i < n; i++)
    {
        int rc =
            KeyDerive(pPwd, nPwdLen, pSalt, pOut + HMAC_SHA1_LEN * (i - 1), static_cast<BYTE>(i), &session);
        if (rc < 0)
        {
            TraceKeptCode(L"[%s] ！KeyDerive=%d.\u3000｛%s｝", FN, rc, GetLastError());
            return -474;
        }
    }
    BYTE last[HMAC_SHA1_LEN];
    int rc = KeyDerive(pPwd, nPwdLen, pSalt, last, static_cast<BYTE>(n), &session);
    if (rc < 0)
    {
        TraceKeptCode(L"[%s] ！KeyDerive=%d.\u3000｛%s｝", FN, rc, GetLastError());
        return -488;
    }
    memcpy(pOut + HMAC_SHA1_LEN * (n - 1), last, static_cast<size_t>(nOutLen - HMAC_SHA1_LEN * (n - 1)));
    SecureZeroMemory(last, sizeof(last));
    SetLastError(0);
    return 1;
}

int EncDll_KeyGen(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pKey, int nKeyLen)
{
    static const wchar_t FN[] = L"EncDll_KeyGen";
    if (nPwdLen < 1)
        return RefusePwdLen(FN, nPwdLen, -504);
    int rc = EncDll_PBKDF2(pPwd, nPwdLen, pSalt, pKey, nKeyLen);
    if (rc < 0)
    {
        TraceKeptCode(L"[%s] EncDll_PBKDF2=%d.\u3000｛%s｝", FN, rc, GetLastError());
        return -519;
    }
    return rc;
}
