#include "enc/aes197.h"

#include <stdint.h>
#include <string.h>

#include "common/GpTrace.h"

namespace
{
// ---- Constant tables, computed by the compiler from the definitions of FIPS-197 ----

constexpr uint8_t Xtime(uint8_t a)
{
    return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

constexpr uint8_t GfMul(uint8_t a, uint8_t b)
{
    uint8_t r = 0;
    while (b != 0)
    {
        if (b & 1)
            r ^= a;
        a = Xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint8_t GfInverse(uint8_t a) // a^254; 0 stays 0
{
    uint8_t r = 1;
    uint8_t p = a;
    for (int e = 254; e != 0; e >>= 1)
    {
        if (e & 1)
            r = GfMul(r, p);
        p = GfMul(p, p);
    }
    return a == 0 ? 0 : r;
}

constexpr uint8_t Rotl8(uint8_t x, int n)
{
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr uint32_t Rotl32(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

// Columns are held as little-endian words: byte r of a word is row r of the state column.
struct AesTables
{
    uint8_t sbox[256]{};
    uint8_t inv[256]{};
    uint32_t te[4][256]{};
    uint32_t td[4][256]{};
    uint8_t mul9[256]{}, mul11[256]{}, mul13[256]{}, mul14[256]{};

    constexpr AesTables()
    {
        for (int x = 0; x < 256; x++)
        {
            uint8_t b = GfInverse(static_cast<uint8_t>(x));
            uint8_t s =
                static_cast<uint8_t>(b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63);
            sbox[x] = s;
            inv[s] = static_cast<uint8_t>(x);
        }
        for (int x = 0; x < 256; x++)
        {
            uint8_t s = sbox[x];
            uint32_t e = static_cast<uint32_t>(GfMul(s, 2)) | (static_cast<uint32_t>(s) << 8) |
                         (static_cast<uint32_t>(s) << 16) | (static_cast<uint32_t>(GfMul(s, 3)) << 24);
            uint8_t is = inv[x];
            uint32_t d = static_cast<uint32_t>(GfMul(is, 14)) | (static_cast<uint32_t>(GfMul(is, 9)) << 8) |
                         (static_cast<uint32_t>(GfMul(is, 13)) << 16) |
                         (static_cast<uint32_t>(GfMul(is, 11)) << 24);
            te[0][x] = e;
            td[0][x] = d;
            for (int r = 1; r < 4; r++)
            {
                te[r][x] = Rotl32(e, 8 * r);
                td[r][x] = Rotl32(d, 8 * r);
            }
            uint8_t a = static_cast<uint8_t>(x);
            mul9[x] = GfMul(a, 9);
            mul11[x] = GfMul(a, 11);
            mul13[x] = GfMul(a, 13);
            mul14[x] = GfMul(a, 14);
        }
    }
};

constexpr AesTables T;
static_assert(T.sbox[0] == 0x63 && T.sbox[1] == 0x7C && T.sbox[2] == 0x77 && T.sbox[3] == 0x7B, "S-box");
static_assert(T.inv[0x63] == 0x00 && T.inv[0x16] == 0xFF, "inverse S-box");

constexpr int MAX_ROUNDKEY_LEN = 240;

inline uint32_t Load32(const BYTE* p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

inline void Store32(BYTE* p, uint32_t v)
{
    memcpy(p, &v, 4);
}

inline uint32_t B(uint32_t w, int r)
{
    return (w >> (8 * r)) & 0xFF;
}

// ---- Blocks: no checks; the round-key length is 176 or 240 ----

void EncryptBlock(const BYTE* pIn, BYTE* pOut, const BYTE* pRoundKey, int nRoundKeyLen)
{
    const uint32_t* te0 = T.te[0];
    const uint32_t* te1 = T.te[1];
    const uint32_t* te2 = T.te[2];
    const uint32_t* te3 = T.te[3];
    const BYTE* rk = pRoundKey;
    uint32_t s0 = Load32(pIn) ^ Load32(rk);
    uint32_t s1 = Load32(pIn + 4) ^ Load32(rk + 4);
    uint32_t s2 = Load32(pIn + 8) ^ Load32(rk + 8);
    uint32_t s3 = Load32(pIn + 12) ^ Load32(rk + 12);
    uint32_t t0, t1, t2, t3;
    int nPass = (nRoundKeyLen / 16 - 1) / 2;
    // Two rounds per pass; the last pass stops after one, the final round follows.
    for (;;)
    {
        t0 = te0[B(s0, 0)] ^ te1[B(s1, 1)] ^ te2[B(s2, 2)] ^ te3[B(s3, 3)] ^ Load32(rk + 16);
        t1 = te0[B(s1, 0)] ^ te1[B(s2, 1)] ^ te2[B(s3, 2)] ^ te3[B(s0, 3)] ^ Load32(rk + 20);
        t2 = te0[B(s2, 0)] ^ te1[B(s3, 1)] ^ te2[B(s0, 2)] ^ te3[B(s1, 3)] ^ Load32(rk + 24);
        t3 = te0[B(s3, 0)] ^ te1[B(s0, 1)] ^ te2[B(s1, 2)] ^ te3[B(s2, 3)] ^ Load32(rk + 28);
        rk += 32;
        if (--nPass == 0)
            break;
        s0 = te0[B(t0, 0)] ^ te1[B(t1, 1)] ^ te2[B(t2, 2)] ^ te3[B(t3, 3)] ^ Load32(rk);
        s1 = te0[B(t1, 0)] ^ te1[B(t2, 1)] ^ te2[B(t3, 2)] ^ te3[B(t0, 3)] ^ Load32(rk + 4);
        s2 = te0[B(t2, 0)] ^ te1[B(t3, 1)] ^ te2[B(t0, 2)] ^ te3[B(t1, 3)] ^ Load32(rk + 8);
        s3 = te0[B(t3, 0)] ^ te1[B(t0, 1)] ^ te2[B(t1, 2)] ^ te3[B(t2, 3)] ^ Load32(rk + 12);
    }
    const uint8_t* sb = T.sbox;
    auto last = [sb](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return static_cast<uint32_t>(sb[B(a, 0)]) | (static_cast<uint32_t>(sb[B(b, 1)]) << 8) |
               (static_cast<uint32_t>(sb[B(c, 2)]) << 16) | (static_cast<uint32_t>(sb[B(d, 3)]) << 24);
    };
    Store32(pOut, last(t0, t1, t2, t3) ^ Load32(rk));
    Store32(pOut + 4, last(t1, t2, t3, t0) ^ Load32(rk + 4));
    Store32(pOut + 8, last(t2, t3, t0, t1) ^ Load32(rk + 8));
    Store32(pOut + 12, last(t3, t0, t1, t2) ^ Load32(rk + 12));
}

// Equivalent inverse cipher: needs the schedule of DecryptKeyExpansion.
void DecryptBlock(const BYTE* pIn, BYTE* pOut, const BYTE* pRoundKey, int nRoundKeyLen)
{
    const uint32_t* td0 = T.td[0];
    const uint32_t* td1 = T.td[1];
    const uint32_t* td2 = T.td[2];
    const uint32_t* td3 = T.td[3];
    const BYTE* rk = pRoundKey;
    uint32_t s0 = Load32(pIn) ^ Load32(rk);
    uint32_t s1 = Load32(pIn + 4) ^ Load32(rk + 4);
    uint32_t s2 = Load32(pIn + 8) ^ Load32(rk + 8);
    uint32_t s3 = Load32(pIn + 12) ^ Load32(rk + 12);
    uint32_t t0, t1, t2, t3;
    int nPass = (nRoundKeyLen / 16 - 1) / 2;
    for (;;)
    {
        t0 = td0[B(s0, 0)] ^ td1[B(s3, 1)] ^ td2[B(s2, 2)] ^ td3[B(s1, 3)] ^ Load32(rk + 16);
        t1 = td0[B(s1, 0)] ^ td1[B(s0, 1)] ^ td2[B(s3, 2)] ^ td3[B(s2, 3)] ^ Load32(rk + 20);
        t2 = td0[B(s2, 0)] ^ td1[B(s1, 1)] ^ td2[B(s0, 2)] ^ td3[B(s3, 3)] ^ Load32(rk + 24);
        t3 = td0[B(s3, 0)] ^ td1[B(s2, 1)] ^ td2[B(s1, 2)] ^ td3[B(s0, 3)] ^ Load32(rk + 28);
        rk += 32;
        if (--nPass == 0)
            break;
        s0 = td0[B(t0, 0)] ^ td1[B(t3, 1)] ^ td2[B(t2, 2)] ^ td3[B(t1, 3)] ^ Load32(rk);
        s1 = td0[B(t1, 0)] ^ td1[B(t0, 1)] ^ td2[B(t3, 2)] ^ td3[B(t2, 3)] ^ Load32(rk + 4);
        s2 = td0[B(t2, 0)] ^ td1[B(t1, 1)] ^ td2[B(t0, 2)] ^ td3[B(t3, 3)] ^ Load32(rk + 8);
        s3 = td0[B(t3, 0)] ^ td1[B(t2, 1)] ^ td2[B(t1, 2)] ^ td3[B(t0, 3)] ^ Load32(rk + 12);
    }
    const uint8_t* ib = T.inv;
    auto last = [ib](uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
        return static_cast<uint32_t>(ib[B(a, 0)]) | (static_cast<uint32_t>(ib[B(b, 1)]) << 8) |
               (static_cast<uint32_t>(ib[B(c, 2)]) << 16) | (static_cast<uint32_t>(ib[B(d, 3)]) << 24);
    };
    Store32(pOut, last(t0, t3, t2, t1) ^ Load32(rk));
    Store32(pOut + 4, last(t1, t0, t3, t2) ^ Load32(rk + 4));
    Store32(pOut + 8, last(t2, t1, t0, t3) ^ Load32(rk + 8));
    Store32(pOut + 12, last(t3, t2, t1, t0) ^ Load32(rk + 12));
}

int Refuse(int nCode)
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return nCode;
}

// The checks shared by both CBC directions, in their order.
int CheckCbc(const wchar_t* pszName, const BYTE* pIn, const BYTE* pOut, int nLen, const BYTE* pRoundKey,
             int nRoundKeyLen, const BYTE* pIv)
{
    if (pIn == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！inBuf", pszName);
        return Refuse(-1);
    }
    if (pOut == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！outBuf", pszName);
        return Refuse(-2);
    }
    if (nLen % 16 != 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！bufLen = %d.", pszName, nLen);
        return Refuse(-3);
    }
    if (pRoundKey == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！roundKey", pszName);
        return Refuse(-4);
    }
    if (nRoundKeyLen != 176 && nRoundKeyLen != 240)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！roundKeyLen = %d.", pszName, nRoundKeyLen);
        return Refuse(-5);
    }
    if (pIv == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！_iv", pszName);
        return Refuse(-6);
    }
    return 0;
}
} // namespace

int EncryptKeyExpansion(const BYTE* pKey, int nKeyLen, BYTE* pRoundKey, int* pRoundKeyLen)
{
    static const wchar_t FN[] = L"EncryptKeyExpansion";
    if (pRoundKey == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！roundKey", FN);
        return Refuse(-1);
    }
    if (pRoundKeyLen == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！roundKeyLen", FN);
        return Refuse(-2);
    }
    if (nKeyLen != 16 && nKeyLen != 32)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！len = %d.", FN, nKeyLen);
        return Refuse(-3);
    }
    const int nk = nKeyLen / 4;
    const int nLen = (nKeyLen == 16) ? 176 : 240;
    memcpy(pRoundKey, pKey, static_cast<size_t>(nKeyLen));
    uint8_t rcon = 0x01;
    for (int i = nk; 4 * i < nLen; i++)
    {
        BYTE temp[4];
        memcpy(temp, pRoundKey + 4 * (i - 1), 4);
        if (i % nk == 0)
        {
            BYTE t0 = temp[0];
            temp[0] = static_cast<BYTE>(T.sbox[temp[1]] ^ rcon);
            temp[1] = T.sbox[temp[2]];
            temp[2] = T.sbox[temp[3]];
            temp[3] = T.sbox[t0];
            rcon = Xtime(rcon);
        }
        else if (nk == 8 && i % nk == 4)
        {
            for (int k = 0; k < 4; k++)
                temp[k] = T.sbox[temp[k]];
        }
        for (int k = 0; k < 4; k++)
            pRoundKey[4 * i + k] = static_cast<BYTE>(pRoundKey[4 * (i - nk) + k] ^ temp[k]);
    }
    *pRoundKeyLen = nLen;
    return 0;
}

int DecryptKeyExpansion(const BYTE* pKey, int nKeyLen, BYTE* pRoundKey, int* pRoundKeyLen)
{
    int rc = EncryptKeyExpansion(pKey, nKeyLen, pRoundKey, pRoundKeyLen);
    if (rc < 0)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！EncryptKeyExpansion = %d.", L"DecryptKeyExpansion", rc);
        return Refuse(rc);
    }
    const int nLen = *pRoundKeyLen;
    const int nKeys = nLen / 16;
    BYTE scratch[MAX_ROUNDKEY_LEN];
    memcpy(scratch, pRoundKey, static_cast<size_t>(nLen));
    for (int r = 0; r < nKeys; r++)
        memcpy(pRoundKey + 16 * r, scratch + 16 * (nKeys - 1 - r), 16);
    for (int r = 1; r < nKeys - 1; r++)
    {
        for (int c = 0; c < 4; c++)
        {
            BYTE* p = pRoundKey + 16 * r + 4 * c;
            BYTE b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
            p[0] = static_cast<BYTE>(T.mul14[b0] ^ T.mul11[b1] ^ T.mul13[b2] ^ T.mul9[b3]);
            p[1] = static_cast<BYTE>(T.mul9[b0] ^ T.mul14[b1] ^ T.mul11[b2] ^ T.mul13[b3]);
            p[2] = static_cast<BYTE>(T.mul13[b0] ^ T.mul9[b1] ^ T.mul14[b2] ^ T.mul11[b3]);
            p[3] = static_cast<BYTE>(T.mul11[b0] ^ T.mul13[b1] ^ T.mul9[b2] ^ T.mul14[b3]);
        }
    }
    SecureZeroMemory(scratch, sizeof(scratch));
    return 0;
}

int EncryptionCBC(const BYTE* pIn, BYTE* pOut, int nLen, const BYTE* pRoundKey, int nRoundKeyLen,
                  const BYTE* pIv)
{
    int rc = CheckCbc(L"EncryptionCBC", pIn, pOut, nLen, pRoundKey, nRoundKeyLen, pIv);
    if (rc < 0)
        return rc;
    BYTE v[16];
    memcpy(v, pIv, 16);
    for (int j = 0; j < nLen / 16; j++)
    {
        for (int k = 0; k < 16; k++)
            v[k] ^= pIn[16 * j + k];
        EncryptBlock(v, v, pRoundKey, nRoundKeyLen);
        memcpy(pOut + 16 * j, v, 16);
    }
    return 0;
}

int DecryptionCBC(const BYTE* pIn, BYTE* pOut, int nLen, const BYTE* pRoundKey, int nRoundKeyLen,
                  const BYTE* pIv)
{
    int rc = CheckCbc(L"DecryptionCBC", pIn, pOut, nLen, pRoundKey, nRoundKeyLen, pIv);
    if (rc < 0)
        return rc;
    BYTE prev[16];
    memcpy(prev, pIv, 16);
    for (int j = 0; j < nLen / 16; j++)
    {
        // The input block is saved first: pOut may be pIn.
        BYTE t[16];
        memcpy(t, pIn + 16 * j, 16);
        BYTE* pBlock = pOut + 16 * j;
        DecryptBlock(t, pBlock, pRoundKey, nRoundKeyLen);
        for (int k = 0; k < 16; k++)
            pBlock[k] ^= prev[k];
        memcpy(prev, t, 16);
    }
    return 0;
}
