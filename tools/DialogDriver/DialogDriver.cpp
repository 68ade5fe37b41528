#include "tools/DialogDriver/DialogDriver.h"

#include <algorithm>
#include <cwchar>

#include "common/ClientContract.h"
#include "common/GpHandles.h"

namespace dialogdriver
{
const wchar_t* const UPDATER_CAPTION = LUMO_CAPTION;

namespace
{
// Id of the text control of a message box.
constexpr int MSGBOX_TEXT_ID = 0xFFFF;
// A hung box must not hang the driver.
constexpr UINT SEND_TIMEOUT_MS = 5000;

std::wstring WindowText(HWND hwnd)
{
    int len = GetWindowTextLengthW(hwnd);
    if (len <= 0)
        return std::wstring();
    std::wstring s(static_cast<size_t>(len) + 1, L'\0');
    int got = GetWindowTextW(hwnd, &s[0], len + 1);
    s.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return s;
}

std::wstring ClassName(HWND hwnd)
{
    wchar_t sz[64] = L"";
    GetClassNameW(hwnd, sz, 64);
    return sz;
}

struct FindCtx
{
    const std::wstring* caption;
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lParam)
{
    FindCtx* ctx = reinterpret_cast<FindCtx*>(lParam);
    if (!IsWindowVisible(hwnd) || ClassName(hwnd) != L"#32770")
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (ctx->pid != 0 && pid != ctx->pid)
        return TRUE;
    if (WindowText(hwnd) != *ctx->caption)
        return TRUE;
    ctx->found = hwnd;
    return FALSE;
}

BOOL CALLBACK ButtonProc(HWND hwnd, LPARAM lParam)
{
    auto* buttons = reinterpret_cast<std::vector<DialogButton>*>(lParam);
    if (IsWindowVisible(hwnd) && ClassName(hwnd) == L"Button")
    {
        DialogButton b;
        b.id = GetDlgCtrlID(hwnd);
        b.text = WindowText(hwnd);
        b.hwnd = hwnd;
        buttons->push_back(b);
    }
    return TRUE;
}
} // namespace

bool ReadDialog(HWND hwnd, Dialog& out)
{
    if (!IsWindow(hwnd))
        return false;
    Dialog d;
    d.hwnd = hwnd;
    GetWindowThreadProcessId(hwnd, &d.pid);
    d.caption = WindowText(hwnd);
    if (HWND hText = GetDlgItem(hwnd, MSGBOX_TEXT_ID))
        d.text = WindowText(hText);
    EnumChildWindows(hwnd, ButtonProc, reinterpret_cast<LPARAM>(&d.buttons));
    std::sort(d.buttons.begin(), d.buttons.end(), [](const DialogButton& a, const DialogButton& b) {
        RECT ra, rb;
        GetWindowRect(a.hwnd, &ra);
        GetWindowRect(b.hwnd, &rb);
        return ra.left < rb.left;
    });
    GetWindowRect(hwnd, &d.rect);
    out = d;
    return IsWindow(hwnd) != FALSE;
}

bool FindDialog(const std::wstring& caption, DWORD timeoutMs, Dialog& out, DWORD pid)
{
    DWORD start = GetTickCount();
    for (;;)
    {
        FindCtx ctx = {&caption, pid, nullptr};
        EnumWindows(FindProc, reinterpret_cast<LPARAM>(&ctx));
        // A box is only complete once its buttons exist.
        if (ctx.found != nullptr && ReadDialog(ctx.found, out) && !out.buttons.empty())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(50);
    }
}

bool PressButton(const Dialog& dialog, int id)
{
    HWND hButton = GetDlgItem(dialog.hwnd, id);
    if (hButton == nullptr)
        return false;
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(hButton, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result) != 0;
}

bool CloseDialog(const Dialog& dialog)
{
    return PostMessageW(dialog.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
}

bool WaitGone(HWND hwnd, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (IsWindow(hwnd))
    {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

namespace
{
// 32-bit pixels of a screen rectangle, or of an icon drawn on one background colour.
std::vector<DWORD> Pixels(HDC hSrc, int x, int y, int w, int h, HICON hIcon, COLORREF background)
{
    std::vector<DWORD> px(static_cast<size_t>(w) * static_cast<size_t>(h));
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    GpMemoryDC mem(CreateCompatibleDC(hSrc));
    GpGdiObject bmp(CreateCompatibleBitmap(hSrc, w, h));
    HDC hMem = mem.Get();
    HBITMAP hBmp = static_cast<HBITMAP>(bmp.Get());
    HGDIOBJ hOld = SelectObject(hMem, hBmp);
    if (hIcon == nullptr)
    {
        BitBlt(hMem, 0, 0, w, h, hSrc, x, y, SRCCOPY);
    }
    else
    {
        RECT rc = {0, 0, w, h};
        GpGdiObject brush(CreateSolidBrush(background));
        FillRect(hMem, &rc, static_cast<HBRUSH>(brush.Get()));
        DrawIconEx(hMem, 0, 0, hIcon, w, h, 0, nullptr, DI_NORMAL);
    }
    SelectObject(hMem, hOld);
    GetDIBits(hMem, hBmp, 0, static_cast<UINT>(h), px.data(), &bi, DIB_RGB_COLORS);
    for (DWORD& p : px)
        p &= 0x00FFFFFF;
    return px;
}

BOOL CALLBACK IconProc(HWND hwnd, LPARAM lParam)
{
    if (IsWindowVisible(hwnd) && ClassName(hwnd) == L"Static" &&
        (GetWindowLongW(hwnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
    {
        *reinterpret_cast<HWND*>(lParam) = hwnd;
        return FALSE;
    }
    return TRUE;
}
} // namespace

DialogIcon IconOf(const Dialog& dialog)
{
    HWND hIconCtl = nullptr;
    EnumChildWindows(dialog.hwnd, IconProc, reinterpret_cast<LPARAM>(&hIconCtl));
    if (hIconCtl == nullptr)
        return DialogIcon::None;
    DWORD_PTR result = 0;
    SendMessageTimeoutW(dialog.hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result);
    Sleep(300);
    RECT rc;
    GetWindowRect(hIconCtl, &rc);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0)
        return DialogIcon::Unknown;

    GpWindowDC screen(nullptr);
    HDC hScreen = screen.Get();
    std::vector<DWORD> shown = Pixels(hScreen, rc.left, rc.top, w, h, nullptr, 0);
    // The corners of the standard icons are transparent: they show the background.
    const DWORD bg = shown[0];
    const COLORREF background = RGB((bg >> 16) & 0xFF, (bg >> 8) & 0xFF, bg & 0xFF);
    static const struct
    {
        const wchar_t* id;
        DialogIcon icon;
    } kIcons[] = {{IDI_WARNING, DialogIcon::Warning},
                  {IDI_INFORMATION, DialogIcon::Information},
                  {IDI_ERROR, DialogIcon::Error},
                  {IDI_QUESTION, DialogIcon::Question}};
    DialogIcon best = DialogIcon::Unknown;
    size_t bestDiff = shown.size() / 20 + 1; // at most 5 % of the pixels may differ
    for (const auto& k : kIcons)
    {
        std::vector<DWORD> drawn = Pixels(hScreen, 0, 0, w, h, LoadIconW(nullptr, k.id), background);
        size_t diff = 0;
        for (size_t i = 0; i < shown.size(); ++i)
            diff += shown[i] != drawn[i];
        if (diff < bestDiff)
        {
            bestDiff = diff;
            best = k.icon;
        }
    }
    return best;
}

const wchar_t* IconName(DialogIcon icon)
{
    switch (icon)
    {
    case DialogIcon::None:
        return L"none";
    case DialogIcon::Warning:
        return L"warning";
    case DialogIcon::Information:
        return L"information";
    case DialogIcon::Error:
        return L"error";
    case DialogIcon::Question:
        return L"question";
    default:
        return L"unknown";
    }
}

bool SaveShot(const Dialog& dialog, const std::wstring& bmpPath)
{
    // Let the box finish painting first.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(dialog.hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &result);
    Sleep(300);
    RECT rc;
    if (!GetWindowRect(dialog.hwnd, &rc))
        return false;
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0)
        return false;
    const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
    std::vector<BYTE> bits(static_cast<size_t>(stride) * static_cast<size_t>(h));
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;

    bool ok = false;
    {
        GpWindowDC screen(nullptr);
        GpMemoryDC mem(CreateCompatibleDC(screen.Get()));
        GpGdiObject bmp(CreateCompatibleBitmap(screen.Get(), w, h));
        if (mem && bmp)
        {
            HBITMAP hBmp = static_cast<HBITMAP>(bmp.Get());
            HGDIOBJ hOld = SelectObject(mem.Get(), hBmp);
            ok = BitBlt(mem.Get(), 0, 0, w, h, screen.Get(), rc.left, rc.top, SRCCOPY) != FALSE;
            SelectObject(mem.Get(), hOld);
            ok = ok &&
                 GetDIBits(mem.Get(), hBmp, 0, static_cast<UINT>(h), bits.data(), &bi, DIB_RGB_COLORS) == h;
        }
    }
    if (!ok)
        return false;

    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42; // "BM"
    fh.bfOffBits = sizeof(fh) + sizeof(bi.bmiHeader);
    fh.bfSize = fh.bfOffBits + static_cast<DWORD>(bits.size());
    bi.bmiHeader.biSizeImage = static_cast<DWORD>(bits.size());
    GpFile file(CreateFileW(bmpPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file)
        return false;
    DWORD n1 = 0, n2 = 0, n3 = 0;
    ok = WriteFile(file.Get(), &fh, sizeof(fh), &n1, nullptr) &&
         WriteFile(file.Get(), &bi.bmiHeader, sizeof(bi.bmiHeader), &n2, nullptr) &&
         WriteFile(file.Get(), bits.data(), static_cast<DWORD>(bits.size()), &n3, nullptr);
    return ok && n3 == bits.size();
}

int ButtonIdFromName(const std::wstring& name)
{
    static const struct
    {
        const wchar_t* name;
        int id;
    } kNames[] = {{L"OK", IDOK},         {L"Cancel", IDCANCEL}, {L"Abort", IDABORT}, {L"Retry", IDRETRY},
                  {L"Ignore", IDIGNORE}, {L"Yes", IDYES},       {L"No", IDNO}};
    for (const auto& n : kNames)
    {
        if (_wcsicmp(n.name, name.c_str()) == 0)
            return n.id;
    }
    wchar_t* end = nullptr;
    long v = wcstol(name.c_str(), &end, 10);
    return (!name.empty() && end != nullptr && *end == L'\0' && v > 0 && v < 0x10000) ? static_cast<int>(v)
                                                                                      : 0;
}

std::wstring Escape(const std::wstring& text)
{
    std::wstring s;
    for (wchar_t c : text)
    {
        if (c == L'\r')
            s += L"\\r";
        else if (c == L'\n')
            s += L"\\n";
        else
            s += c;
    }
    return s;
}
} // namespace dialogdriver
