#include "tests/support/ServiceDouble.h"

#include <cstring>

#include "common/ServiceProtocol.h"

namespace lumotest
{
namespace
{
HANDLE CreatePipeInstance()
{
    return CreateNamedPipeW(SERVICE_PIPE_NAME, PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
}

std::string ReadMessage(HANDLE hPipe)
{
    std::string req;
    char buf[1024];
    DWORD cb = 0;
    for (;;)
    {
        BOOL ok = ReadFile(hPipe, buf, sizeof(buf), &cb, nullptr);
        if (ok || GetLastError() == ERROR_MORE_DATA)
            req.append(buf, cb);
        if (ok || GetLastError() != ERROR_MORE_DATA)
            break;
    }
    return req;
}
} // namespace

ServiceDouble::ServiceDouble(Replier reply)
    : m_pipe(CreatePipeInstance()), m_valid(m_pipe.IsValid()), m_reply(std::move(reply)),
      m_release(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_connected(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = std::thread([this] { Serve(); });
}

ServiceDouble::ServiceDouble(HoldFirstCall)
    : m_pipe(CreatePipeInstance()), m_valid(m_pipe.IsValid()),
      m_release(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_connected(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = std::thread([this] { Hold(); });
}

ServiceDouble::~ServiceDouble()
{
    m_stop = true;
    Release();
    // Wake a ConnectNamedPipe that waits for a caller; fails harmlessly when none waits.
    GpFile wake(
        CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    wake.Reset();
    m_thread.join();
}

std::vector<std::string> ServiceDouble::Requests()
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_requests;
}

void ServiceDouble::Serve()
{
    while (!m_stop && m_pipe)
    {
        if (!ConnectNamedPipe(m_pipe.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            break;
        SetEvent(m_connected.Get());
        if (m_stop)
            break;
        std::string req = ReadMessage(m_pipe.Get());
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_requests.push_back(req);
        }
        std::string reply = m_reply(req);
        if (!reply.empty())
        {
            DWORD cb = 0;
            WriteFile(m_pipe.Get(), reply.data(), static_cast<DWORD>(reply.size()), &cb, nullptr);
            FlushFileBuffers(m_pipe.Get());
        }
        DisconnectNamedPipe(m_pipe.Get());
    }
    m_pipe.Reset();
}

void ServiceDouble::Hold()
{
    if (!m_pipe)
        return;
    ConnectNamedPipe(m_pipe.Get(), nullptr);
    SetEvent(m_connected.Get());
    WaitForSingleObject(m_release.Get(), 60000);
    DisconnectNamedPipe(m_pipe.Get());
    m_pipe.Reset();
}

ServiceDouble::Replier ServiceDouble::FixedSize(int bytes, DWORD status)
{
    return [bytes, status](const std::string& req) {
        std::string reply(static_cast<size_t>(bytes), '\0');
        DWORD size = static_cast<DWORD>(req.size());
        if (bytes >= 8)
            memcpy(&reply[4], &status, 4);
        if (bytes >= 12)
            memcpy(&reply[8], &size, 4);
        return reply;
    };
}

ServiceDouble::Replier ServiceDouble::Client(DWORD major, DWORD minor, DWORD status)
{
    return [major, minor, status](const std::string& req) {
        if (req.size() < sizeof(ServiceRequestHeader))
            return std::string();
        ServiceRequestHeader hdr;
        memcpy(&hdr, req.data(), sizeof(hdr));
        const DWORD cbOut = hdr.cbReply < 8 ? 8 : hdr.cbReply;
        std::string reply(cbOut < sizeof(VersionReply) ? sizeof(VersionReply) : cbOut, '\0');
        reinterpret_cast<ServiceReplyHeader*>(&reply[0])->dwStatus = status;
        if (hdr.wCommand == STC_GET_QVC_VERSION)
        {
            DWORD* v = reinterpret_cast<VersionReply*>(&reply[0])->adwVersion;
            v[0] = major;
            v[1] = minor;
        }
        reply.resize(cbOut);
        return reply;
    };
}
} // namespace lumotest
