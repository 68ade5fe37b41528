#pragma once
#include <windows.h>

#include "common/GpHandles.h"
#include "common/VString.h"

// A new file beside a file we rewrite, for the content that will take its place. The folder may
// be writable by others, so the name cannot be guessed ("<target>.~<random>.tmp"), the file is
// made with CREATE_NEW without following a link, filled and given its security through its own
// handle, held without sharing until it is renamed over the target through that same handle, and
// removed again through the handle when it is not used.
class GpTempFile
{
public:
    GpTempFile() = default;
    ~GpTempFile() { Discard(); }
    GpTempFile(const GpTempFile&) = delete;
    GpTempFile& operator=(const GpTempFile&) = delete;

    // ERROR_OK, or the error of the last attempt (the last error holds it too).
    int Create(const wchar_t* pszTarget);
    HANDLE Get() const { return m_file.Get(); }
    const wchar_t* Path() const { return m_path.c_str(); }
    // All bytes or an error: a short write counts as ERROR_DISK_FULL.
    int Write(const void* pData, DWORD cb);
    // Gives the file the owner, group, access list and attributes of hFrom, an open handle on the
    // target (the access list alone where the owner cannot be taken over).
    void TakeOverFrom(HANDLE hFrom);
    // Flushes, then renames the file over the target; a reader holding the target holds the rename
    // off, so it is tried nAttempts times, dwRetryMs apart. ERROR_OK or the error; on failure the
    // target is untouched and the file stays ours (Discard removes it).
    int Commit(int nAttempts, DWORD dwRetryMs);
    void Discard();

private:
    GpFile m_file;
    VString m_target;
    VString m_path;
};

// Removes what a stopped run left beside pszTarget: GpTempFile's files that no one holds open, and
// files of the earlier naming "<target>.~<pid in hex><cchOldDigits digits>.tmp" whose process has
// ended. Only plain files go, through a handle on the file itself; a link, a folder, a file with
// several names is left alone. Each removal is traced with pszName in the leading field.
void GpRemoveTempLeftovers(const wchar_t* pszTarget, const wchar_t* pszName, int cchOldDigits);
