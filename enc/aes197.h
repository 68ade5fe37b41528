#pragma once
#include <windows.h>

// AES (FIPS-197) with 128- and 256-bit keys and CBC over whole buffers. No state between calls.
// A refused argument is traced, sets the last error to ERROR_INVALID_PARAMETER and gives a
// negative code; success gives 0. Round-key buffers need room for 240 bytes; the round-key
// length is 176 (16-byte key) or 240 (32-byte key).

// Encryption schedule. -1 no round-key buffer, -2 no length pointer, -3 key length not 16 or 32.
int EncryptKeyExpansion(const BYTE* pKey, int nKeyLen, BYTE* pRoundKey, int* pRoundKeyLen);
// Schedule of the equivalent inverse cipher, for DecryptionCBC; codes as EncryptKeyExpansion.
int DecryptKeyExpansion(const BYTE* pKey, int nKeyLen, BYTE* pRoundKey, int* pRoundKeyLen);

// pIn and pOut may be the same buffer; pIv (16 bytes) is only read.
// -1 no input, -2 no output, -3 length not a multiple of 16, -4 no round key,
// -5 round-key length not 176 or 240, -6 no IV.
int EncryptionCBC(const BYTE* pIn, BYTE* pOut, int nLen, const BYTE* pRoundKey, int nRoundKeyLen,
                  const BYTE* pIv);
int DecryptionCBC(const BYTE* pIn, BYTE* pOut, int nLen, const BYTE* pRoundKey, int nRoundKeyLen,
                  const BYTE* pIv);
