#pragma once
#include <windows.h>
#include <wincrypt.h>

// SHA-1 of a whole file in one read and one hash call, through the platform's cryptographic
// service. Results: ERROR_OK (37), or the negative code of the failing step. The digest goes to
// the first 20 bytes of pOut; the rest of the caller's buffer is left alone.
class CHashUtil
{
public:
    static constexpr int DIGEST_BYTES = 20;
    static constexpr LONGLONG MAX_FILE_BYTES = 0x7FFFFFFE;

    static int CalcHashOnce(const wchar_t* pszPath, BYTE* pOut);
    // Hashes from the start of the file; the caller keeps the handle.
    static int CalcHashOnce(HANDLE hFile, BYTE* pOut);
    static int CalcHashOnce(HCRYPTPROV hProv, const BYTE* pData, DWORD cbData, BYTE* pOut);
};
