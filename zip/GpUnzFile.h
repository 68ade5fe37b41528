#pragma once
#include "common/GpHandles.h"
#include "unzip.h"

// An archive opened with unzOpen2_64, closed with it.
struct GpUnzTraits
{
    using Type = unzFile;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { unzClose(h); }
};
using GpUnzFile = GpUniqueHandle<GpUnzTraits>;
