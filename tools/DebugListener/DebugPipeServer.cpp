#include "tools/DebugListener/DebugPipeServer.h"

bool DebugPipeServer::Start(const std::wstring& pipeName, int instances, Sink sink)
{
    m_path = L"\\\\.\\pipe\\" + pipeName;
    m_sink = std::move(sink);
    m_stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (int i = 0; i < instances; i++)
    {
        GpFile pipe(CreateNamedPipeW(m_path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 8192, 65536, 0, nullptr));
        if (!pipe)
            break;
        m_threads.emplace_back(&DebugPipeServer::Serve, this, std::move(pipe));
    }
    return !m_threads.empty();
}

void DebugPipeServer::Stop()
{
    if (m_stop)
        SetEvent(m_stop.Get());
    for (auto& t : m_threads)
        t.join();
    m_threads.clear();
    m_stop.Reset();
}

namespace
{
// Waits for an overlapped operation or the stop event; false when stopped or failed.
bool Finish(HANDLE hPipe, OVERLAPPED& ov, HANDLE hStop, BOOL bStarted, DWORD& cb)
{
    if (!bStarted)
    {
        DWORD dwErr = GetLastError();
        if (dwErr == ERROR_PIPE_CONNECTED)
            return true;
        if (dwErr != ERROR_IO_PENDING && dwErr != ERROR_MORE_DATA)
            return false;
        HANDLE waits[2] = {ov.hEvent, hStop};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
        {
            CancelIo(hPipe);
            GetOverlappedResult(hPipe, &ov, &cb, TRUE);
            return false;
        }
    }
    return GetOverlappedResult(hPipe, &ov, &cb, FALSE) || GetLastError() == ERROR_MORE_DATA;
}
} // namespace

void DebugPipeServer::Serve(GpFile pipe)
{
    HANDLE hPipe = pipe.Get();
    HANDLE hStop = m_stop.Get();
    GpKernelHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = done.Get();
    std::vector<wchar_t> buf(32768);
    while (WaitForSingleObject(hStop, 0) != WAIT_OBJECT_0)
    {
        DWORD cb = 0;
        ResetEvent(ov.hEvent);
        if (!Finish(hPipe, ov, hStop, ConnectNamedPipe(hPipe, &ov), cb))
        {
            if (WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0)
                break;
            DisconnectNamedPipe(hPipe);
            continue;
        }
        ResetEvent(ov.hEvent);
        cb = 0;
        BOOL ok = ReadFile(hPipe, buf.data(), static_cast<DWORD>(buf.size() * sizeof(wchar_t)), nullptr, &ov);
        if (Finish(hPipe, ov, hStop, ok, cb))
        {
            // Hand the record on before replying: the sender waits for the reply, so its records
            // are stored in the order it made them.
            if (m_sink)
                m_sink(std::wstring(buf.data(), cb / sizeof(wchar_t)));
            DWORD cbw = 0;
            ResetEvent(ov.hEvent);
            BOOL wok = WriteFile(hPipe, "OK", 2, nullptr, &ov);
            Finish(hPipe, ov, hStop, wok, cbw);
            FlushFileBuffers(hPipe);
        }
        DisconnectNamedPipe(hPipe);
    }
}
