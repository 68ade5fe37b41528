#pragma once
#include <windows.h>

#include "common/GpHandles.h"
#include "common/TmArray.h"
#include "common/VString.h"

// Where EncFile takes the tick count that seeds the header's random values. Null (the default)
// means GetTickCount; tests set a fixed one to reproduce a known header.
using EncFileTickFn = DWORD (*)();
void EncFileSetTickSource(EncFileTickFn pfn);

// One block of bytes stored in, or loaded from, a file in the system's encrypted container format:
// header 1a (16 plain bytes), header 1b (32 encrypted bytes) and the contents encrypted with
// AES-CBC in 16,384-byte segments, each chained from the file IV.
//
// The owner sets m_key (pass phrase of at least 16 bytes followed by one zero byte) and
// m_nEncVersion (1 = AES-256, 2 = AES-128) first. To store: Open with write access, SetData, Write.
// To load: Open with read access, Read, GetData/GetDataSize. The file stays open after Read and
// Write; the owner closes it (Close) when it is done. Results: ERROR_OK (37) or an error code.
class EncFile
{
public:
    EncFile();
    virtual ~EncFile();
    EncFile(const EncFile&) = delete;
    EncFile& operator=(const EncFile&) = delete;

    // pszPath may be null or empty: the path of the previous Open is used again.
    int Open(const wchar_t* pszPath, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition);
    // Closes the file when one is open.
    void Close();
    // The open file, INVALID_HANDLE_VALUE when none.
    HANDLE FileHandle() const { return m_hFile.Get(); }
    // Takes a file its owner has opened (for writing) in place of Open.
    void Attach(const wchar_t* pszPath, GpFile&& file);

    // false with the thread's last error set when the buffer cannot be had (or the arguments are bad).
    bool SetData(const void* pData, int nData);
    BYTE* GetData() { return static_cast<BYTE*>(m_pData.Get()); }
    int GetDataSize() const { return m_nData; }

    // Fills m_key with the pass phrase and its terminating zero byte.
    void SetKey(const void* pKey, int nKey);

    int Read();
    int Write();

    // The key salt (64 bytes) and the file IV (16 bytes) that belong to a header 1a (16 bytes).
    static void MakeSalt(const BYTE* pHd1a, BYTE* pSalt);
    static void MakeIv(const BYTE* pHd1a, BYTE* pIv);

    VString m_strPath;
    BYTE m_nEncVersion;
    TmArray<BYTE> m_key;
    int m_nData;

private:
    GpFile m_hFile; // only Open, Attach and Close change it
    GpHeapBlock m_pData;

#pragma pack(push, 1)
    struct Header1a
    {
        BYTE cb;
        WORD Rand1;
        BYTE nVersion;
        WORD Rand2;
        LONGLONG EncSize;
        WORD RandMul;
    };
    struct Header1b
    {
        WORD cb;
        WORD r1;
        WORD r2;
        WORD reserved;
        LONGLONG size;
        BYTE KeyCheck[16];
    };
#pragma pack(pop)
    static_assert(sizeof(Header1a) == 16, "header 1a is 16 bytes");
    static_assert(sizeof(Header1b) == 32, "header 1b is 32 bytes");

    int WriteHeader1a(Header1a& hd1a);
    int MakeRoundKey(bool bEncrypt, const Header1a& hd1a, BYTE* pRoundKey);
    int WriteHeader1b(const Header1a& hd1a, const BYTE* pRoundKey, int nRoundKeyLen, Header1b& hd1b);
    int EncryptContents(const Header1a& hd1a, const Header1b& hd1b, const BYTE* pRoundKey, int nRoundKeyLen);
    int ReadHeader1a(Header1a& hd1a);
    int ReadHeader1b(const Header1a& hd1a, const BYTE* pRoundKey, int nRoundKeyLen, const BYTE* pIv,
                     Header1b& hd1b);
    int DecryptContents(const Header1a& hd1a, const Header1b& hd1b, const BYTE* pRoundKey, int nRoundKeyLen,
                        const BYTE* pIv);
    void FreeData();
    bool HasFile() const
    {
        return m_hFile.IsValid();
    }
};
