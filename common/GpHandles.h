#pragma once
#include <windows.h>

// One small owner per kind of handle: the destructor releases it, so no path can leak one.
template <typename Traits> class GpUniqueHandle
{
public:
    using Type = typename Traits::Type;
    GpUniqueHandle() = default;
    explicit GpUniqueHandle(Type h) : m_h(h) {}
    GpUniqueHandle(const GpUniqueHandle&) = delete;
    GpUniqueHandle& operator=(const GpUniqueHandle&) = delete;
    GpUniqueHandle(GpUniqueHandle&& other) noexcept : m_h(other.Detach()) {}
    GpUniqueHandle& operator=(GpUniqueHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }
    ~GpUniqueHandle() { Reset(); }

    Type Get() const { return m_h; }
    bool IsValid() const { return m_h != Traits::Invalid(); }
    explicit operator bool() const { return IsValid(); }
    Type Detach()
    {
        Type h = m_h;
        m_h = Traits::Invalid();
        return h;
    }
    void Reset(Type h = Traits::Invalid())
    {
        if (m_h != Traits::Invalid())
        {
            // Releasing must not disturb the last error a caller is about to read.
            DWORD dwErr = GetLastError();
            Traits::Close(m_h);
            SetLastError(dwErr);
        }
        m_h = h;
    }
    // For out-parameters of the API: releases what is held first.
    Type* Put()
    {
        Reset();
        return &m_h;
    }

private:
    Type m_h = Traits::Invalid();
};

struct GpFileTraits // CreateFile: INVALID_HANDLE_VALUE when none
{
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
struct GpKernelTraits // events, mutexes, processes, threads: null when none
{
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};
struct GpFindTraits
{
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};
struct GpRegKeyTraits
{
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};
struct GpHeapTraits
{
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static void Close(Type p) { HeapFree(GetProcessHeap(), 0, p); }
};
struct GpLocalTraits // blocks the system allocates for the caller (FormatMessage)
{
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static void Close(Type p) { LocalFree(p); }
};

using GpFile = GpUniqueHandle<GpFileTraits>;
using GpKernelHandle = GpUniqueHandle<GpKernelTraits>;
using GpFind = GpUniqueHandle<GpFindTraits>;
using GpRegKey = GpUniqueHandle<GpRegKeyTraits>;
struct GpGdiTraits // bitmaps, brushes
{
    using Type = HGDIOBJ;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DeleteObject(h); }
};
struct GpMemoryDCTraits // CreateCompatibleDC
{
    using Type = HDC;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { DeleteDC(h); }
};
struct GpDesktopTraits // CreateDesktop, OpenDesktop
{
    using Type = HDESK;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseDesktop(h); }
};
struct GpModuleTraits // LoadLibrary, LoadLibraryEx
{
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { FreeLibrary(h); }
};

using GpHeapBlock = GpUniqueHandle<GpHeapTraits>;
using GpLocalBlock = GpUniqueHandle<GpLocalTraits>;
using GpGdiObject = GpUniqueHandle<GpGdiTraits>;
using GpMemoryDC = GpUniqueHandle<GpMemoryDCTraits>;
using GpDesktop = GpUniqueHandle<GpDesktopTraits>;
using GpModule = GpUniqueHandle<GpModuleTraits>;

// A window's (or, for null, the screen's) device context, given back to the window at the end.
class GpWindowDC
{
public:
    explicit GpWindowDC(HWND hWnd) : m_hWnd(hWnd), m_hDC(GetDC(hWnd)) {}
    ~GpWindowDC()
    {
        if (m_hDC != nullptr)
            ReleaseDC(m_hWnd, m_hDC);
    }
    GpWindowDC(const GpWindowDC&) = delete;
    GpWindowDC& operator=(const GpWindowDC&) = delete;
    HDC Get() const { return m_hDC; }
    explicit operator bool() const { return m_hDC != nullptr; }

private:
    HWND m_hWnd;
    HDC m_hDC;
};
