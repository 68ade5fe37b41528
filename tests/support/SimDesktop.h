#pragma once
#include <windows.h>

#include <string>
#include <thread>

#include "tests/support/ClientWindowProcess.h"

// The window stand-in and the agents it talks to run on a desktop of the test program's own:
// under Wine without a display that desktop is brought up with the null graphics driver by the
// stand-in, while message boxes elsewhere keep failing at once as every other test expects.
namespace lumotest
{
// A fresh desktop for each test: one on which a window search failed before the stand-in
// brought it up stays without windows for the rest of the process.
void NewSimDesktop();
HDESK SimDesktop();
// "WinSta0\NAME" of the test's desktop, for ChildProcess::Start.
std::wstring SimDesktopName();

// Runs an agent on the test's desktop and answers its exit code (259 when it did not end).
DWORD RunAgentOnSimDesktop(const std::wstring& args, const std::wstring& currentDir);

// Runs fn on a thread of the test's desktop, where FindWindow looks.
template <typename Fn> void OnSimDesktop(Fn fn)
{
    std::thread t([&] {
        SetThreadDesktop(SimDesktop());
        fn();
    });
    t.join();
}

// The main client window stand-in on the test's desktop, running until the test ends.
class ClientWindow : public ClientWindowProcess
{
public:
    bool Start(const std::wstring& args) { return ClientWindowProcess::Start(args, SimDesktopName()); }
};
} // namespace lumotest
