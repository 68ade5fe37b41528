#pragma once
#include "common/GpHandles.h"
#include "zip.h"

// An archive being written (zipOpen2_64). The owner only abandons a half-written one; a writer
// that wants the central directory calls zipClose on Detach() and checks its result.
struct GpZipTraits
{
    using Type = zipFile;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { zipClose(h, nullptr); }
};
using GpZipFile = GpUniqueHandle<GpZipTraits>;
