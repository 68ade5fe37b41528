#include "tools/common/ToolArgs.h"

#include <wchar.h>

const wchar_t* ArgPrefixValue(const wchar_t* arg, const wchar_t* prefix)
{
    size_t n = wcslen(prefix);
    return _wcsnicmp(arg, prefix, n) == 0 ? arg + n : nullptr;
}

const wchar_t* ArgValue(int argc, wchar_t** argv, const wchar_t* prefix)
{
    for (int i = 1; i < argc; i++)
        if (const wchar_t* v = ArgPrefixValue(argv[i], prefix))
            return v;
    return nullptr;
}
