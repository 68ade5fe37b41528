#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Finds and answers the updater's message boxes from another process of the same Wine prefix
// (or Windows session), the way a person would: by their caption, their text and their buttons.
// Everything goes through ordinary window messages; nothing in the updater is bypassed.
namespace dialogdriver
{
// The caption of every box of the updater.
extern const wchar_t* const UPDATER_CAPTION;

struct DialogButton
{
    int id = 0;        // IDOK, IDCANCEL, IDYES, ...
    std::wstring text; // as shown, with its '&' mnemonic marker
    HWND hwnd = nullptr;
};

struct Dialog
{
    HWND hwnd = nullptr;
    DWORD pid = 0;
    std::wstring caption;
    std::wstring text;                 // the message text, line breaks as \r\n
    std::vector<DialogButton> buttons; // left to right
    RECT rect = {};                    // screen rectangle of the whole box
};

// Waits up to timeoutMs for a visible dialog box with exactly this caption (from process pid
// when nonzero) and reads it. False when none came in time.
bool FindDialog(const std::wstring& caption, DWORD timeoutMs, Dialog& out, DWORD pid = 0);

// Reads one box again (text, buttons, rectangle); false when the window is gone.
bool ReadDialog(HWND hwnd, Dialog& out);

// Presses the button with this control id as a mouse click would (BM_CLICK).
bool PressButton(const Dialog& dialog, int id);

// Uses the caption's close button (WM_SYSCOMMAND SC_CLOSE).
bool CloseDialog(const Dialog& dialog);

// Waits up to timeoutMs until the box is gone.
bool WaitGone(HWND hwnd, DWORD timeoutMs);

// The standard icon a box shows, told by what is on the screen.
enum class DialogIcon
{
    None,
    Warning,
    Information,
    Error,
    Question,
    Unknown
};
DialogIcon IconOf(const Dialog& dialog);
const wchar_t* IconName(DialogIcon icon);

// Saves what the screen shows of the box as a 24-bit BMP file (for pictures of the boxes).
bool SaveShot(const Dialog& dialog, const std::wstring& bmpPath);

// The control id for a button name ("OK", "Cancel", "Yes", "No", "Retry", "Abort", "Ignore",
// or a number); 0 when unknown.
int ButtonIdFromName(const std::wstring& name);

// The text with CR and LF written as \r and \n, for one-line reports.
std::wstring Escape(const std::wstring& text);
} // namespace dialogdriver
