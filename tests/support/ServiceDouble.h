#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/GpHandles.h"

namespace lumotest
{
// The client service inside the test: one message-mode instance of its command pipe, created
// before the constructor returns, served on a thread of its own until the object goes.
class ServiceDouble
{
public:
    // Makes the reply to one request; an empty reply leaves the call unanswered (disconnected).
    using Replier = std::function<std::string(const std::string& request)>;

    // Answers every call with what reply makes of it.
    explicit ServiceDouble(Replier reply);
    // Takes the first call and answers nothing until Release(); then the pipe goes for good, or a
    // caller's next call would find a busy pipe and wait forever.
    struct HoldFirstCall
    {
    };
    explicit ServiceDouble(HoldFirstCall);
    ~ServiceDouble();
    ServiceDouble(const ServiceDouble&) = delete;
    ServiceDouble& operator=(const ServiceDouble&) = delete;

    bool IsValid() const { return m_valid; }
    bool WaitConnected(DWORD ms) const { return WaitForSingleObject(m_connected.Get(), ms) == WAIT_OBJECT_0; }
    void Release() { SetEvent(m_release.Get()); }
    // The requests received so far, whole.
    std::vector<std::string> Requests();

    // Replies of `bytes` bytes: the status at offset 4 and the request's size at offset 8, as far
    // as they fit.
    static Replier FixedSize(int bytes, DWORD status);
    // A client of the given version that carries out every command: the reply size the request
    // asks for (at least 8 bytes), status `status`.
    static Replier Client(DWORD major, DWORD minor, DWORD status);

private:
    void Serve();
    void Hold();

    GpFile m_pipe;
    bool m_valid = false;
    Replier m_reply;
    GpKernelHandle m_release;
    GpKernelHandle m_connected;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};
} // namespace lumotest
