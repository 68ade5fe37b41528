// QvDialogDriver: answers one message box of the updater from outside, as a person would.
//   QvDialogDriver.exe [/caption=TEXT] [/pid=N] [/wait=MS] [/press=OK|Cancel|Yes|No|Retry|ID|close]
//                      [/shot=FILE.bmp]
// Prints the box (caption, text, buttons, rectangle) in UTF-8, then presses the button or uses
// the close button, and waits until the box is gone.
// Exit codes: 0 done, 1 no box in time, 2 bad command line, 3 the answer could not be given.
#include <windows.h>

#include <cwchar>
#include <string>

#include "tools/DialogDriver/DialogDriver.h"
#include "common/GpFormat.h"
#include "tools/common/ToolArgs.h"
#include "tools/common/ToolText.h"

namespace
{
// The driver's lines are read by scripts and tests: UTF-8 on a console too.
void Print(const std::wstring& line)
{
    PrintUtf8(STD_OUTPUT_HANDLE, line + L"\n");
}

bool Value(const wchar_t* arg, const wchar_t* name, std::wstring& out)
{
    const wchar_t* v = ArgPrefixValue(arg, name);
    if (v != nullptr)
        out = v;
    return v != nullptr;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    using namespace dialogdriver;
    std::wstring caption = UPDATER_CAPTION, press, shot, value;
    DWORD pid = 0, waitMs = 10000;
    for (int i = 1; i < argc; ++i)
    {
        if (Value(argv[i], L"/caption=", value))
            caption = value;
        else if (Value(argv[i], L"/pid=", value))
            pid = wcstoul(value.c_str(), nullptr, 10);
        else if (Value(argv[i], L"/wait=", value))
            waitMs = wcstoul(value.c_str(), nullptr, 10);
        else if (Value(argv[i], L"/press=", value))
            press = value;
        else if (Value(argv[i], L"/shot=", value))
            shot = value;
        else
        {
            Print(L"usage: QvDialogDriver.exe [/caption=TEXT] [/pid=N] [/wait=MS] "
                  L"[/press=OK|Cancel|Yes|No|Retry|ID|close] [/shot=FILE.bmp]");
            return 2;
        }
    }
    int id = 0;
    if (!press.empty() && _wcsicmp(press.c_str(), L"close") != 0 && (id = ButtonIdFromName(press)) == 0)
    {
        Print(L"unknown button: " + press);
        return 2;
    }

    Dialog d;
    if (!FindDialog(caption, waitMs, d, pid))
    {
        Print(L"no dialog: " + caption);
        return 1;
    }
    wchar_t sz[128];
    Print(L"caption: " + d.caption);
    Print(L"text: " + Escape(d.text));
    for (const DialogButton& b : d.buttons)
    {
        GpFormatN(sz, L"button: %d ", b.id);
        Print(sz + b.text);
    }
    Print(std::wstring(L"icon: ") + IconName(IconOf(d)));
    GpFormatN(sz, L"rect: %ld %ld %ld %ld", d.rect.left, d.rect.top, d.rect.right - d.rect.left,
              d.rect.bottom - d.rect.top);
    Print(sz);
    GpFormatN(sz, L"pid: %lu", d.pid);
    Print(sz);
    if (!shot.empty() && !SaveShot(d, shot))
    {
        Print(L"no picture: " + shot);
        return 3;
    }
    if (press.empty())
        return 0;

    bool sent = id != 0 ? PressButton(d, id) : CloseDialog(d);
    if (!sent || !WaitGone(d.hwnd, 5000))
    {
        Print(L"not answered: " + press);
        return 3;
    }
    Print(L"answered: " + press);
    return 0;
}
