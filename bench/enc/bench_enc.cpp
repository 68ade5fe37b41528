// Figures of the encrypted storage for bench/enc/run.sh: AES-CBC throughput on 64 MiB (MB/s,
// thread CPU time and wall clock) and one key derivation per container version (ms: least and
// median wall clock of 21, mean thread CPU time, then the key). One "name values..." line each.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bench/BenchClock.h"
#include "enc/aes197.h"
#include "enc/keygeneration.h"

namespace
{
// CPU time of this thread: the machine is shared, and openssl speed counts CPU time too.
double ThreadCpu()
{
    FILETIME c, e, k, u;
    GetThreadTimes(GetCurrentThread(), &c, &e, &k, &u);
    ULARGE_INTEGER uu;
    uu.LowPart = u.dwLowDateTime;
    uu.HighPart = u.dwHighDateTime;
    return static_cast<double>(uu.QuadPart) / 1e7;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Hex(const BYTE* p, int n, char* psz)
{
    for (int i = 0; i < n; i++)
        sprintf(psz + 2 * i, "%02x", p[i]);
}

// Encrypts or decrypts the buffer in place in 16 KiB calls, as the container does; best of three.
double CbcMBps(bool bEncrypt, std::vector<BYTE>& buf, const BYTE* pRk, int nRk, const BYTE* pIv, bool bCpu)
{
    double best = 0;
    for (int run = 0; run < 3; run++)
    {
        double t = bCpu ? ThreadCpu() : BenchNow();
        for (size_t off = 0; off < buf.size(); off += 16384)
        {
            if (bEncrypt)
                EncryptionCBC(buf.data() + off, buf.data() + off, 16384, pRk, nRk, pIv);
            else
                DecryptionCBC(buf.data() + off, buf.data() + off, 16384, pRk, nRk, pIv);
        }
        double mbps = static_cast<double>(buf.size()) / ((bCpu ? ThreadCpu() : BenchNow()) - t) / 1e6;
        best = std::max(best, mbps);
    }
    return best;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    bool bPerCall = argc > 1 && wcscmp(argv[1], L"/percall") == 0;

    BYTE key[16], rkEnc[240], rkDec[240], iv[16];
    for (int i = 0; i < 16; i++)
    {
        key[i] = static_cast<BYTE>(i * 17 + 1);
        iv[i] = static_cast<BYTE>(255 - i);
    }
    int nEnc = 0, nDec = 0;
    EncryptKeyExpansion(key, 16, rkEnc, &nEnc);
    DecryptKeyExpansion(key, 16, rkDec, &nDec);
    std::vector<BYTE> buf(64u << 20);
    for (size_t i = 0; i < buf.size(); i++)
        buf[i] = static_cast<BYTE>(i * 131);
    printf("cbc-encrypt-MBps %.1f\n", CbcMBps(true, buf, rkEnc, nEnc, iv, true));
    printf("cbc-decrypt-MBps %.1f\n", CbcMBps(false, buf, rkDec, nDec, iv, true));
    printf("cbc-encrypt-wall-MBps %.1f\n", CbcMBps(true, buf, rkEnc, nEnc, iv, false));
    printf("cbc-decrypt-wall-MBps %.1f\n", CbcMBps(false, buf, rkDec, nDec, iv, false));

    // The pass phrase and salt of run.sh's reference (the documented example header's salt).
    const BYTE pwd[] = "LumoAgentTestKey";
    const BYTE one[16] = {0xD1, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0x90, 0x2D, 0xBE, 0x02, 0xC1, 0x30, 0x10};
    BYTE salt[64];
    for (int k = 0; k < 64; k++)
        salt[k] = one[k % 16];
    const struct
    {
        const char* name;
        int nKeyLen;
    } versions[] = {{"kdf-v1", 32}, {"kdf-v2", 16}};
    for (const auto& v : versions)
    {
        BYTE out[32];
        std::vector<double> times;
        double cpu = ThreadCpu();
        for (int run = 0; run < 21; run++)
        {
            double t = BenchNow();
            if (EncDll_KeyGen(pwd, 16, salt, out, v.nKeyLen) != 1)
            {
                printf("%s failed %lu\n", v.name, GetLastError());
                return 1;
            }
            times.push_back((BenchNow() - t) * 1000);
        }
        cpu = (ThreadCpu() - cpu) * 1000 / 21;
        if (v.nKeyLen == 32)
            printf("kdf-first %.3f\n", times[0]); // the provider DLL is loaded once per process
        char szHex[65];
        Hex(out, v.nKeyLen, szHex);
        printf("%s %.3f %.3f %.3f %s\n", v.name, *std::min_element(times.begin(), times.end()), Median(times),
               cpu, szHex);
    }

    {
        // Part of every derivation: the provider context, whose DLL is loaded again each time.
        std::vector<double> times;
        for (int run = 0; run < 21; run++)
        {
            double t = BenchNow();
            GpCryptProv prov;
            CryptAcquireContextW(prov.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
            prov.Reset();
            times.push_back((BenchNow() - t) * 1000);
        }
        printf("acquire-context %.3f %.3f\n", *std::min_element(times.begin(), times.end()), Median(times));
    }

    if (bPerCall)
    {
        // For comparison: a provider context acquired and released for every HMAC.
        BYTE msg[68] = {}, u[20];
        memcpy(msg, salt, 64);
        msg[67] = 1;
        int cb = 0;
        double t = BenchNow();
        for (int i = 0; i < 1000; i++)
            CalcHmac(pwd, 16, i == 0 ? msg : u, i == 0 ? 68 : 20, u, &cb);
        printf("kdf-v2-percall-ms %.1f\n", (BenchNow() - t) * 1000);
    }
    return 0;
}
