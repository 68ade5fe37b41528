#pragma once
#include <windows.h>

#include "CryptHandles.h"

// PBKDF2 (RFC 2898) with HMAC-SHA1 from the CryptoAPI, 1000 iterations, 64-byte salt.

constexpr int PBKDF2_ITERATIONS = 1000;
constexpr int PBKDF2_SALT_LEN = 64;
constexpr int HMAC_SHA1_LEN = 20;
// The block index travels as one byte.
constexpr int PBKDF2_MAX_OUT = 255 * HMAC_SHA1_LEN;

// HMAC-SHA1 of pData under pKey into pOut (20 bytes); *pOutLen becomes 20. pProv, when given, is
// a provider context shared by the HMACs of one derivation: acquired by the first call that finds
// it empty and released by its owner. Without it every call acquires and releases its own.
// false on failure, with the failing call's error as the thread's last error (0 on success).
bool CalcHmac(const BYTE* pKey, int nKeyLen, const BYTE* pData, int nDataLen, BYTE* pOut, int* pOutLen,
              GpCryptProv* pProv = nullptr);

// PBKDF2 block nIndex (1..255) into pOut (20 bytes). 1, or -392 (pass-phrase length below 1),
// -409 / -422 (first / later HMAC failed).
int KeyDerive(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pOut, BYTE nIndex,
              GpCryptProv* pProv = nullptr);

// nOutLen bytes of PBKDF2 output. 1, or -447 (bad length), -474 / -488 (a block failed).
int EncDll_PBKDF2(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pOut, int nOutLen);

// The file key of the encrypted container. 1, or -504 (bad pass-phrase length), -519 (derivation failed).
int EncDll_KeyGen(const BYTE* pPwd, int nPwdLen, const BYTE* pSalt, BYTE* pKey, int nKeyLen);
