#pragma once
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "tools/DebugListener/DebugPipeServer.h"
#include "tools/DebugListener/DebugRecord.h"

namespace lumotest
{
// Name of the debug pipe the test programs trace to (one per test program, set by TestMain),
// so that concurrently running test programs never take each other's records.
std::wstring TestPipeName();

// Listens on a debug pipe and keeps every record. Listens on the test program's own pipe by
// default; pass "QVS-Debug" to hear LumoAgent.exe and the companion programs.
class TraceCapture
{
public:
    explicit TraceCapture(const std::wstring& pipeName = TestPipeName());
    ~TraceCapture();

    std::vector<DebugRecord> Records() const;
    std::vector<DebugRecord> RecordsOf(DWORD pid) const;
    // Messages of records whose message contains text (all processes).
    std::vector<std::wstring> Messages(const std::wstring& text = L"") const;
    bool Contains(const std::wstring& text) const { return !Messages(text).empty(); }
    // Waits until a record containing text has arrived, up to timeoutMs.
    bool WaitFor(const std::wstring& text, DWORD timeoutMs = 5000) const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<DebugRecord> m_records;
    DebugPipeServer m_server;
};
} // namespace lumotest
