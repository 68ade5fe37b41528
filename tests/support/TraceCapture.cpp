#include "tests/support/TraceCapture.h"

#include "common/GpTrace.h"

namespace lumotest
{
std::wstring TestPipeName()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    s = s.substr(s.find_last_of(L'\\') + 1);
    s = s.substr(0, s.find_last_of(L'.'));
    return L"QVS-T-" + s.substr(0, 26);
}

TraceCapture::TraceCapture(const std::wstring& pipeName)
{
    m_server.Start(pipeName, 4, [this](const std::wstring& text) {
        DebugRecord rec;
        if (ParseDebugRecord(text, rec))
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_records.push_back(rec);
        }
    });
}

TraceCapture::~TraceCapture()
{
    m_server.Stop();
}

std::vector<DebugRecord> TraceCapture::Records() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_records;
}

std::vector<DebugRecord> TraceCapture::RecordsOf(DWORD pid) const
{
    std::vector<DebugRecord> out;
    for (const auto& r : Records())
        if (r.pid == pid)
            out.push_back(r);
    return out;
}

std::vector<std::wstring> TraceCapture::Messages(const std::wstring& text) const
{
    std::vector<std::wstring> out;
    for (const auto& r : Records())
        if (text.empty() || r.message.find(text) != std::wstring::npos)
            out.push_back(r.message);
    return out;
}

bool TraceCapture::WaitFor(const std::wstring& text, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    while (!Contains(text))
    {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

void TraceCapture::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_records.clear();
}
} // namespace lumotest
