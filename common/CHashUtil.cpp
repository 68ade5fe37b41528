#include "common/CHashUtil.h"

#include "common/GpCryptHandles.h"
#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpPath.h"
#include "common/GpResult.h"
#include "common/GpTrace.h"

namespace
{
const wchar_t* const HASH_NAME = L"CHashUtil::CalcHashOnce";

} // namespace

int CHashUtil::CalcHashOnce(const wchar_t* pszPath, BYTE* pOut)
{
    GpFile file(CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CreateFile(%s)\u3000｛%s｝\n", HASH_NAME, pszPath, GpErrText(-1));
        return -84;
    }
    return CalcHashOnce(file.Get(), pOut);
}

int CHashUtil::CalcHashOnce(HANDLE hFile, BYTE* pOut)
{
    // One provider per file, released when the call ends.
    GpCryptProv prov;
    if (!CryptAcquireContextW(prov.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CryptAcquireContext\u3000｛%s｝", HASH_NAME, GpErrText(-1));
        return -44;
    }
    LONGLONG llSize = Seek64(hFile, 0, FILE_END);
    if (llSize < 1 || llSize > MAX_FILE_BYTES)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！Seek64=%I64d.\u3000｛%s｝\n", HASH_NAME, llSize, GpErrText(-1));
        return -50;
    }
    GpHeapBlock block(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(llSize) + 8));
    if (!block)
    {
        GPTRACE(TRACE_FATAL, L"[%s] ！HAlloc(%I64d).\u3000｛%s｝\n", HASH_NAME, llSize, GpErrText(-1));
        return -55;
    }
    Seek64(hFile, 0, FILE_BEGIN);
    // The block's real size may exceed the request; reading that much still cannot pass its end.
    SIZE_T cbBlock = HeapSize(GetProcessHeap(), 0, block.Get());
    DWORD cbToRead =
        (cbBlock == static_cast<SIZE_T>(-1)) ? static_cast<DWORD>(llSize) + 8 : static_cast<DWORD>(cbBlock);
    DWORD cbRead = 0;
    if (!ReadFile(hFile, block.Get(), cbToRead, &cbRead, nullptr))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile(%I64d).\u3000｛%s｝\n", HASH_NAME, llSize, GpErrText(-1));
        return -63;
    }
    GPTRACE(TRACE_TRACE, L"[%s] size=%I64d, cb=%u.", HASH_NAME, llSize, cbRead);
    // A file cut short since its size was taken would leave part of the block unread: hashing it
    // would report a digest of stale memory as a success.
    if (cbRead < static_cast<DWORD>(llSize))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！ReadFile(%I64d).\u3000｛%s｝\n", HASH_NAME, llSize,
                GpErrText(ERROR_HANDLE_EOF));
        SetLastError(ERROR_HANDLE_EOF);
        return -63;
    }
    return CalcHashOnce(prov.Get(), static_cast<const BYTE*>(block.Get()), static_cast<DWORD>(llSize), pOut);
}

int CHashUtil::CalcHashOnce(HCRYPTPROV hProv, const BYTE* pData, DWORD cbData, BYTE* pOut)
{
    GpCryptHash hash;
    if (!CryptCreateHash(hProv, CALG_SHA1, 0, 0, hash.Put()))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CryptCreateHash\u3000｛%s｝", HASH_NAME, GpErrText(-1));
        return -20;
    }
    // Fed in pieces below 512 MiB: Wine's SHA-1 miscounts the message length when one update
    // carries 2^29 bytes or more, and gives a wrong digest. Same digest everywhere else.
    constexpr DWORD MAX_UPDATE_BYTES = 0x10000000;
    DWORD cbDone = 0;
    do
    {
        DWORD cbPiece = (cbData - cbDone < MAX_UPDATE_BYTES) ? cbData - cbDone : MAX_UPDATE_BYTES;
        if (!CryptHashData(hash.Get(), pData + cbDone, cbPiece, 0))
        {
            GPTRACE(TRACE_ERROR, L"[%s] ！CryptHashData\u3000｛%s｝", HASH_NAME, GpErrText(-1));
            return -25;
        }
        cbDone += cbPiece;
    } while (cbDone < cbData);
    // Read into a local first: a failed read must leave the caller's buffer untouched.
    BYTE digest[DIGEST_BYTES];
    DWORD cbDigest = DIGEST_BYTES;
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &cbDigest, 0))
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！CryptGetHashParam\u3000｛%s｝", HASH_NAME, GpErrText(-1));
        return -30;
    }
    CopyMemory(pOut, digest, DIGEST_BYTES);
    return ERROR_OK;
}
