// The service channel: the agent's version, login-status and logout requests and the tool's
// SYSEXEC request, answered by an in-process stand-in for the service with mutated replies of
// any length. The first byte of an input picks the caller, the rest is the reply.
#include <atomic>
#include <mutex>
#include <thread>

#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/ServiceProtocol.h"
#include "fuzz/FuzzHarness.h"

using namespace lumofuzz;

namespace
{
std::mutex g_lock;
Bytes g_reply;

HANDLE NewInstance()
{
    return CreateNamedPipeW(SERVICE_PIPE_NAME, PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                            4096, 4096, 0, nullptr);
}

// One instance is always waiting, so that the caller never meets a missing or busy pipe.
void Serve()
{
    GpFile pipe(NewInstance());
    for (;;)
    {
        if (!pipe)
            return;
        if (!ConnectNamedPipe(pipe.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            return;
        GpFile next(NewInstance());
        char buf[4096];
        DWORD cb = 0;
        while (!ReadFile(pipe.Get(), buf, sizeof(buf), &cb, nullptr) && GetLastError() == ERROR_MORE_DATA)
        {
        }
        Bytes reply;
        {
            std::lock_guard<std::mutex> g(g_lock);
            reply = g_reply;
        }
        WriteFile(pipe.Get(), reply.data(), static_cast<DWORD>(reply.size()), &cb, nullptr);
        // The caller reads, then closes: wait for that before the instance goes.
        while (ReadFile(pipe.Get(), buf, sizeof(buf), &cb, nullptr) || GetLastError() == ERROR_MORE_DATA)
        {
        }
        DisconnectNamedPipe(pipe.Get());
        pipe = std::move(next);
    }
}

Bytes Reply(int cb, DWORD status, size_t at, DWORD v1, size_t at2 = 0, DWORD v2 = 0)
{
    Bytes r(static_cast<size_t>(cb), '\0');
    PutLe32(r, 4, status);
    if (at != 0)
        PutLe32(r, at, v1);
    if (at2 != 0)
        PutLe32(r, at2, v2);
    return r;
}
} // namespace

Target MakeTarget()
{
    std::thread(Serve).detach();
    Target t;
    t.name = "service";
    const DWORD OK = ERROR_OK;
    t.seeds = {"\x00" + Reply(STC_GET_QVC_VERSION_REPLY_SIZE, OK, 20, 6, 24, 60),
               Bytes(1, '\0') + Reply(STC_GET_QVC_VERSION_REPLY_SIZE, OK, 20, 6, 24, 59),
               "\x01" + Reply(STC_GET_LOGINSTATUS_REPLY_SIZE, OK, 16, 1),
               "\x01" + Reply(STC_GET_LOGINSTATUS_REPLY_SIZE, 5, 16, 0x80),
               "\x02" + Reply(STC_SYSEXEC_REPLY_SIZE, OK, 8, 4242),
               "\x03" + Reply(STC_MIR_LOGOUT_REPLY_SIZE, OK, 0, 0)};
    t.seeds[0][0] = '\0';
    t.mutator.maxLen = 70000;
    t.structured = [](Rng& rng, const Bytes& base, const std::vector<Bytes>&) {
        // Replies of every length around the ones the callers expect.
        static const size_t s_lengths[] = {0,  1,  4,   7,   8,   9,    15,   16,   17,   55,
                                           56, 57, 815, 816, 817, 4095, 4096, 4097, 65536};
        Bytes out = base.empty() ? Bytes(1, '\0') : base;
        out.resize(1 + s_lengths[rng.Below(sizeof(s_lengths) / sizeof(s_lengths[0]))], '\0');
        if (out.size() > 9 && rng.OneIn(2))
            PutLe32(out, 5, rng.OneIn(2) ? ERROR_OK : InterestingValue(rng));
        if (out.size() > 4)
            PutInteresting(rng, out, 1 + rng.Below(out.size() - 1));
        return out;
    };
    t.run = [](const Bytes& input) {
        int which = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % 4;
        {
            std::lock_guard<std::mutex> g(g_lock);
            g_reply = input.empty() ? Bytes() : input.substr(1);
        }
        LumoAgentApp app;
        switch (which)
        {
        case 0:
            return app.IsSupportVer() ? 1 : 0;
        case 1:
            return 2 + (app.IsLogoutStatus() ? 1 : 0);
        case 2:
            return 4 +
                   (app.LumoAgentAct(L"\"C:\\staged\\LumoAgent.exe\" /Agent /sn") == ERROR_TIMEOUT ? 1 : 0);
        default:
            app.m_bForce = 1;
            return 6 + (app.NLXLogout() ? 1 : 0);
        }
    };
    return t;
}
