#pragma once
#include <windows.h>

constexpr int GP_ERRTEXT_CCH = 260;

// Renders a Windows error code (-1: the thread's last error) into pBuf (260 characters).
wchar_t* GpErrorText(wchar_t* pBuf, int nCode);
// The system's message text for a code (inserts ignored, language neutral with the user's default
// sublanguage), without its closing line break, cut to cchBuf; false when the system has none.
bool GpSystemMessage(DWORD dwCode, wchar_t* pBuf, size_t cchBuf);
// Renders a C runtime error number (negative: errno) into a buffer of its own (256 characters).
wchar_t* GpCrtErrorText(int nErrNo);

// The error text buffer of the calling thread, rendered with GpErrorText; valid until the
// next rendering on this thread. (Per thread so that the log checker's worker cannot
// overwrite a text the main thread is still tracing.)
wchar_t* GpErrText(int nCode);
