#pragma once
#include <windows.h>

#include "common/GpCryptHandles.h"

// PBKDF2 (RFC 2898) with HMAC-SHA1 from the CryptoAPI, 1000 iterations, 64-byte salt.

constexpr int PBKDF2_ITERATIONS = 1000;
constexpr int PBKDF2_SALT_LEN = 64;
constexpr int HMAC_SHA1_LEN = 20;
// The block index travels as one byte.
constexpr int PBKDF2_MAX_OUT = 255 * HMAC_SHA1_LEN;

// What the HMACs of one derivation share: the provider context and the HMAC key imported from
// the pass phrase. A context per HMAC costs about half a millisecond, 2000 times per key.
// Filled by the first CalcHmac that uses it; a call with another key imports that key instead.
class HmacSession
{
public:
    HmacSession() = default;
    HmacSession(const HmacSession&) = delete;
    HmacSession& operator=(const HmacSession&) = delete;
    ~HmacSession() { ForgetKey(); }

    // Acquires the provider context unless it is held; false with the thread's last error set.
    bool AcquireProvider();
    // Makes pKey the session's HMAC key unless it already is; false (traced under pszFn) on failure.
    bool UseKey(const wchar_t* pszFn, const BYTE* pKey, int nKeyLen);
    void ForgetKey();

    HCRYPTPROV Provider() const { return m_prov.Get(); }
    HCRYPTKEY Key() const { return m_key.Get(); }
    // Length of the key held, -1 when none.
    int KeyLength() const { return m_nBytes; }

private:
    bool HoldsKey(const BYTE* pKey, int nKeyLen) const;

    GpCryptProv m_prov;
    GpCryptKey m_key;    // released before the context
    GpHeapBlock m_bytes; // copy of the key bytes that m_key holds
    int m_nBytes = -1;
};

// HMAC-SHA1 of pData under pKey into pOut (20 bytes); *pOutLen becomes 20. Without a session every
// call acquires and releases its own context and key. false on failure, with the failing call's
// error as the thread's last error (0 on success).
bool CalcHmac(const BYTE* pKey, int nKeyLen, const BYTE* pData, int nDataLen, BYTE* pOut, int* pOutLen,
              HmacSession* pSession = nullptr);

// PBKDF2 block nIndex (1..255) into pOut (20 bytes). 1, or -392 (pass-phrase length below 1),
// -409 / -422 (first / later HMAC failed).
int KeyDerive(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pOut, BYTE nIndex,
              HmacSession* pSession = nullptr);

// nOutLen bytes of PBKDF2 output. 1, or -447 (bad length), -474 / -488 (a block failed).
int EncDll_PBKDF2(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pOut, int nOutLen);

// The file key of the encrypted container. 1, or -504 (bad pass-phrase length), -519 (derivation failed).
int EncDll_KeyGen(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pKey, int nKeyLen);
