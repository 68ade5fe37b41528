#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tools/DebugListener/DebugRecord.h"
#include "common/GpHandles.h"

// Server side of the debug pipe: several message-mode instances, each on its own thread,
// answering every record with a short reply (the sender waits for one) and handing it on.
class DebugPipeServer
{
public:
    using Sink = std::function<void(const std::wstring& rawText)>;

    DebugPipeServer() = default;
    ~DebugPipeServer() { Stop(); }
    DebugPipeServer(const DebugPipeServer&) = delete;
    DebugPipeServer& operator=(const DebugPipeServer&) = delete;

    // pipeName without the "\\.\pipe\" prefix; false when no instance could be created.
    bool Start(const std::wstring& pipeName, int instances, Sink sink);
    void Stop();

private:
    void Serve(GpFile pipe);

    std::wstring m_path;
    Sink m_sink;
    GpKernelHandle m_stop;
    std::vector<std::thread> m_threads;
};
