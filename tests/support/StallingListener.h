#pragma once
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/GpHandles.h"

namespace lumotest
{
// A debug pipe listener that misbehaves on purpose, as anyone on the machine may:
// - NeverAnswers reads each record and never replies, with a new instance for every connection;
// - AnswersLate reads each record and replies after lateMs;
// - AllBusy has one instance and keeps it taken, so every connection attempt finds it busy.
class StallingListener
{
public:
    enum class Kind
    {
        NeverAnswers,
        AnswersLate,
        AllBusy,
    };
    // With a program name, only the records of that program count in Records().
    StallingListener(const std::wstring& pipeName, Kind kind, DWORD lateMs = 3000,
                     const std::wstring& program = std::wstring());
    ~StallingListener();
    StallingListener(const StallingListener&) = delete;
    StallingListener& operator=(const StallingListener&) = delete;

    bool Ready() const { return m_ready; }
    // Records read so far (NeverAnswers, AnswersLate), of the program given if any.
    int Records() const { return m_records; }

private:
    GpFile CreateInstance() const;
    void AcceptLoop();
    bool WaitIo(HANDLE hPipe, OVERLAPPED& ov);

    std::wstring m_path;
    std::wstring m_prefix; // "<program>\x0c", the start of that program's records
    Kind m_kind;
    DWORD m_lateMs;
    bool m_ready = false;
    std::atomic<int> m_records{0};
    GpKernelHandle m_stop;
    GpFile m_next;              // the instance the accept loop starts with
    std::vector<GpFile> m_held; // instances (and for AllBusy our own client end) kept open
    std::vector<std::thread> m_answerers;
    std::thread m_acceptor;
};
} // namespace lumotest
