#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "common/RXUtil.h"
#include "tests/support/ServiceDouble.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
// The service inside the test, answering every request with replyBytes bytes (the request size
// echoed at offset 8).
ServiceDouble::Replier Replies(int replyBytes)
{
    return ServiceDouble::FixedSize(replyBytes, ERROR_OK);
}

ServiceRequestHeader Header(int cbReply, WORD cmd = STC_GET_LOGINSTATUS)
{
    ServiceRequestHeader hdr;
    ServiceInitHeader(hdr, STC_HEADER_REQUEST_SIZE, cbReply, cmd, 0);
    return hdr;
}
} // namespace

TEST(ServiceChannel, MissingBufferIsRefusedBeforeThePipe)
{
    ServiceRequestHeader hdr = Header(16);
    BYTE reply[16];
    // No service runs: a pipe call would give 2.
    EXPECT_EQ(87, RXUtil::SendCommEx(nullptr, 16, reply, 16));
    EXPECT_EQ(87, RXUtil::SendCommEx(&hdr, 16, nullptr, 16));
    EXPECT_EQ(87, RXUtil::SendCommEx(&hdr, -1, reply, 16));
    EXPECT_EQ(87, RXUtil::SendCommEx(&hdr, 16, reply, -16));
}

TEST(ServiceChannel, MissingServiceFailsWithFileNotFound)
{
    TraceCapture capture;
    ServiceRequestHeader hdr = Header(16, STC_MIR_LOGOUT);
    BYTE reply[16] = {};
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RXUtil::SendCommEx(&hdr, 16, reply, 16));
    EXPECT_TRUE(capture.WaitFor(L"[RXUtil::SendCommEx] ！CallNamedPipe<opt=1, cmd=102>　｛"));
}

TEST(ServiceChannel, ReplySizeDecidesTheResult)
{
    struct Case
    {
        int served, expected, result;
        const wchar_t* trace;
    } cases[] = {
        {16, 16, ERROR_OK, nullptr},
        {15, 16, ERROR_INVALID_DATA, L"CallNamedPipe<opt=1, cmd=103>　nOut=16 cb=15."},
        {816, 816, ERROR_OK, nullptr},
        {20, 16, ERROR_MORE_DATA, L"！CallNamedPipe<opt=1, cmd=103>　｛"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.served);
        TraceCapture capture;
        ServiceDouble service(Replies(c.served));
        ServiceRequestHeader hdr = Header(c.expected);
        std::vector<BYTE> reply(static_cast<size_t>(c.expected) + 8, 0xEE);
        EXPECT_EQ(c.result, RXUtil::SendCommEx(&hdr, 16, reply.data(), c.expected));
        // Nothing lands past the reply size the caller gave.
        for (size_t i = static_cast<size_t>(c.expected); i < reply.size(); i++)
            EXPECT_EQ(0xEE, reply[i]);
        if (c.trace)
        {
            EXPECT_TRUE(capture.WaitFor(c.trace));
        }
    }
}

TEST(ServiceChannel, SysExecRequestTravelsWhole)
{
    ServiceDouble service(Replies(STC_SYSEXEC_REPLY_SIZE));
    SysExecRequest req = {};
    ServiceInitHeader(req.hdr, STC_SYSEXEC_REQUEST_SIZE, STC_SYSEXEC_REPLY_SIZE, STC_BASECMD_SYSEXEC,
                      STC_BASECMD_SYSEXEC_QUAL);
    req.dwConstant = 5;
    wcscpy(req.szCmdLine, L"C:\\x\\LumoAgent.exe /Agent /n");
    wcscpy(req.szRequester, L"LumoAgent");
    SysExecReply reply = {};
    ASSERT_EQ(ERROR_OK, RXUtil::SendCommEx(&req, sizeof(req), &reply, sizeof(reply)));
    EXPECT_EQ(37u, reply.hdr.dwStatus);
    EXPECT_EQ(2768u, reply.dwProcessId); // the fake echoes the request size here
    auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    ASSERT_EQ(sizeof(req), requests[0].size());
    EXPECT_EQ(0, memcmp(&req, requests[0].data(), sizeof(req)));
    const BYTE* raw = reinterpret_cast<const BYTE*>(requests[0].data());
    EXPECT_EQ(11, raw[12]);
    EXPECT_EQ(10, raw[14]);
    EXPECT_EQ(L'C', raw[554]);
    EXPECT_EQ(L'L', raw[2640]);
}

TEST(ServiceChannel, BusyPipeIsRetriedEverySecondUntilFree)
{
    ServiceDouble service(Replies(16));
    // Take the only instance so that the call meets a busy pipe.
    // Released before the service on every path, so that the service thread can end.
    GpFile holder;
    for (int i = 0; i < 100 && !holder; i++)
    {
        holder.Reset(CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 0, nullptr));
        if (!holder)
            Sleep(10);
    }
    ASSERT_TRUE(holder.IsValid());
    std::vector<DWORD> sleeps;
    GpSeam().SleepFn = [&](DWORD ms) {
        sleeps.push_back(ms);
        if (sleeps.size() == 3)
        {
            // Let the holder's request through; the instance then comes free.
            ServiceRequestHeader hdr = Header(16);
            DWORD cb;
            WriteFile(holder.Get(), &hdr, sizeof(hdr), &cb, nullptr);
            BYTE reply[16];
            ReadFile(holder.Get(), reply, sizeof(reply), &cb, nullptr);
            holder.Reset();
        }
        Sleep(50);
    };
    ServiceRequestHeader hdr = Header(16);
    BYTE reply[16] = {};
    EXPECT_EQ(ERROR_OK, RXUtil::SendCommEx(&hdr, 16, reply, 16));
    ASSERT_GE(sleeps.size(), 3u);
    for (DWORD ms : sleeps)
        EXPECT_EQ(1000u, ms);
}

// Wine does not enforce how a client opens a pipe: the flags are checked where they are asked for.
// The service's end may identify the caller, never act with its token.
TEST(ServiceChannel, OpensThePipeAtIdentificationLevel)
{
    ServiceDouble service(Replies(16));
    std::vector<std::pair<std::wstring, DWORD>> opens;
    GpSeam().OpenPipeClientFn = [&](const wchar_t* name, DWORD access, DWORD flags) {
        opens.emplace_back(name, flags);
        return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    };
    ServiceRequestHeader hdr = Header(16);
    BYTE reply[16] = {};
    EXPECT_EQ(ERROR_OK, RXUtil::SendCommEx(&hdr, 16, reply, 16));
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ(SERVICE_PIPE_NAME, opens[0].first);
    EXPECT_NE(0u, opens[0].second & SECURITY_SQOS_PRESENT);
    EXPECT_EQ(static_cast<DWORD>(SECURITY_IDENTIFICATION),
              opens[0].second & (SECURITY_DELEGATION | SECURITY_CONTEXT_TRACKING));
}
