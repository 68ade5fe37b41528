#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "common/GpHandles.h"

// Owners for the CryptoAPI handles: provider context, key and hash object (0 when none).
struct GpCryptProvTraits
{
    using Type = HCRYPTPROV;
    static Type Invalid() { return 0; }
    static void Close(Type h) { CryptReleaseContext(h, 0); }
};
struct GpCryptKeyTraits
{
    using Type = HCRYPTKEY;
    static Type Invalid() { return 0; }
    static void Close(Type h) { CryptDestroyKey(h); }
};
struct GpCryptHashTraits
{
    using Type = HCRYPTHASH;
    static Type Invalid() { return 0; }
    static void Close(Type h) { CryptDestroyHash(h); }
};

using GpCryptProv = GpUniqueHandle<GpCryptProvTraits>;
using GpCryptKey = GpUniqueHandle<GpCryptKeyTraits>;
using GpCryptHash = GpUniqueHandle<GpCryptHashTraits>;
