#include "tests/support/StallingListener.h"

namespace lumotest
{
StallingListener::StallingListener(const std::wstring& pipeName, Kind kind, DWORD lateMs,
                                   const std::wstring& program)
    : m_path(L"\\\\.\\pipe\\" + pipeName), m_prefix(program.empty() ? program : program + L"\x0c"),
      m_kind(kind), m_lateMs(lateMs), m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_stop)
        return;
    if (kind == Kind::AllBusy)
    {
        GpFile server(CreateNamedPipeW(m_path.c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 8192, 8192, 0, nullptr));
        GpFile taken(
            CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        m_ready = server && taken;
        m_held.push_back(std::move(server));
        m_held.push_back(std::move(taken));
        return;
    }
    // The first instance exists before the constructor returns: a record sent at once finds it.
    m_next = CreateInstance();
    m_ready = m_next.IsValid();
    if (m_ready)
        m_acceptor = std::thread([this] { AcceptLoop(); });
}

StallingListener::~StallingListener()
{
    if (m_stop)
        SetEvent(m_stop.Get());
    if (m_acceptor.joinable())
        m_acceptor.join();
    for (std::thread& t : m_answerers)
        t.join();
}

// Waits for an overlapped operation or the stop; false when stopped or failed.
bool StallingListener::WaitIo(HANDLE hPipe, OVERLAPPED& ov)
{
    HANDLE handles[] = {ov.hEvent, m_stop.Get()};
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0)
    {
        CancelIoEx(hPipe, &ov);
        DWORD cb;
        GetOverlappedResult(hPipe, &ov, &cb, TRUE);
        return false;
    }
    DWORD cb;
    return GetOverlappedResult(hPipe, &ov, &cb, FALSE) || GetLastError() == ERROR_MORE_DATA;
}

GpFile StallingListener::CreateInstance() const
{
    return GpFile(CreateNamedPipeW(m_path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 8192,
                                   8192, 0, nullptr));
}

void StallingListener::AcceptLoop()
{
    GpKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (;;)
    {
        GpFile pipe = m_next ? std::move(m_next) : CreateInstance();
        if (!pipe)
            return;
        OVERLAPPED ov = {};
        ov.hEvent = event.Get();
        ResetEvent(event.Get());
        bool connected = ConnectNamedPipe(pipe.Get(), &ov) != 0;
        DWORD dwErr = GetLastError();
        if (!connected && dwErr == ERROR_IO_PENDING)
            connected = WaitIo(pipe.Get(), ov);
        else if (!connected)
            connected = dwErr == ERROR_PIPE_CONNECTED;
        if (WaitForSingleObject(m_stop.Get(), 0) == WAIT_OBJECT_0)
            return;
        if (!connected)
            continue;

        BYTE buf[16384] = {};
        ov = {};
        ov.hEvent = event.Get();
        ResetEvent(event.Get());
        bool read = ReadFile(pipe.Get(), buf, sizeof(buf), nullptr, &ov) != 0;
        if (!read && (GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA))
            read = WaitIo(pipe.Get(), ov);
        // Every program of the prefix traces to the same pipe, tests running beside this one too.
        if (read && (m_prefix.empty() || _wcsnicmp(reinterpret_cast<const wchar_t*>(buf), m_prefix.c_str(),
                                                   m_prefix.size()) == 0))
            m_records++;

        if (m_kind == Kind::AnswersLate && read)
        {
            HANDLE hPipe = pipe.Get();
            m_answerers.emplace_back([this, hPipe] {
                if (WaitForSingleObject(m_stop.Get(), m_lateMs) != WAIT_TIMEOUT)
                    return;
                GpKernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
                OVERLAPPED wov = {};
                wov.hEvent = done.Get();
                static const BYTE reply[8] = {};
                if (!WriteFile(hPipe, reply, sizeof(reply), nullptr, &wov) &&
                    GetLastError() == ERROR_IO_PENDING)
                    WaitIo(hPipe, wov);
            });
        }
        // Held until the listener goes: the client sees no reply and no broken pipe.
        m_held.push_back(std::move(pipe));
    }
}
} // namespace lumotest
