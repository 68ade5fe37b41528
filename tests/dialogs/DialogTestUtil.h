#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/GpHandles.h"
#include "tools/DialogDriver/DialogDriver.h"

// Helpers of the dialog tests: real message boxes on the dialog prefix's X display.
namespace dialogtest
{
// True when this process has an X display (set only by wine-run-x11.sh when Xvfb is up).
bool HasDisplay();

// How long a box may take to come up (a fresh LumoAgent.exe included).
constexpr DWORD BOX_WAIT_MS = 20000;

// Checks a box as a person reads it: the caption, the whole text, the buttons left to right
// (by control id) and the icon.
void ExpectBox(const dialogdriver::Dialog& d, const std::wstring& text, const std::vector<int>& buttonIds,
               dialogdriver::DialogIcon icon);

// Ends the processes of boxes that a failed test left up (an agent started by the service
// stand-in is no child of the test), so that they cannot hold up or mislead later tests.
void EndStrayBoxes();

// With LUMO_DIALOG_SHOTS set to a folder, saves the box there as NAME.bmp (scripts/dialogs.sh
// turns them into the pictures of the README); otherwise does nothing.
void Shot(const dialogdriver::Dialog& d, const wchar_t* name);

// Runs a call that shows boxes on a thread of its own, so that the test thread can answer them.
// A call still blocked when the object goes is left to the end of the process (never waited for
// without a limit).
class BoxCall
{
public:
    explicit BoxCall(std::function<int()> fn);
    ~BoxCall();
    BoxCall(const BoxCall&) = delete;
    BoxCall& operator=(const BoxCall&) = delete;
    // Waits up to timeoutMs; true when the call returned (its value in *result).
    bool Wait(DWORD timeoutMs, int* result = nullptr);

private:
    struct State;
    State* m_state;
    GpKernelHandle m_thread;
};
} // namespace dialogtest

#define REQUIRE_DIALOG_DISPLAY()                                                                             \
    if (!dialogtest::HasDisplay())                                                                           \
    GTEST_SKIP() << "no X display for the dialog tests: Xvfb could not be started "                          \
                    "(scripts/dialog-env.sh, dialog_start)"
