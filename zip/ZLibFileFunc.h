#pragma once
#include <windows.h>

#include "common/GpHandles.h"
#include "ioapi.h"

// The unzip library's 64-bit file functions over native handles, so that an archive is named by
// a wide path and its open survives short-lived locks of other processes.
// The library passes the path it was given to the open function unchanged: hand unzOpen2_64 a
// wide, null-terminated path.

// Stream record of one open archive; the library owns it until its close call, which frees the
// record and with it the file.
struct ZLibFileStream
{
    GpFile file;
    int nError = 0; // system error of the last failed read, write, tell or seek
};

voidpf ZCALLBACK win32_open64_file_funcW(voidpf opaque, const void* filename, int mode);
uLong ZCALLBACK win32_read_file_funcW(voidpf opaque, voidpf stream, void* buf, uLong size);
uLong ZCALLBACK win32_write_file_funcW(voidpf opaque, voidpf stream, const void* buf, uLong size);
ZPOS64_T ZCALLBACK win32_tell64_file_funcW(voidpf opaque, voidpf stream);
long ZCALLBACK win32_seek64_file_funcW(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin);
int ZCALLBACK win32_close_file_funcW(voidpf opaque, voidpf stream);
int ZCALLBACK win32_error_file_funcW(voidpf opaque, voidpf stream);

// Fills the table with the seven functions above; the opaque pointer is null.
void FillWin32FileFunc64W(zlib_filefunc64_def* pDef);
