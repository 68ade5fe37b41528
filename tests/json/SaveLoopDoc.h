#pragma once
#include <string>

// The two settings documents the save-loop helper writes in turn: about 1 MB each when saved, every
// member marked with its generation letter, and of different lengths, so that a file holding part
// of one and part of the other, or a cut one, matches neither.
inline std::wstring SaveLoopText(wchar_t generation)
{
    int nItems = generation == L'A' ? 4000 : 4100;
    std::wstring text = L"{\"Generation\":\"";
    text += generation;
    text += L"\",\"Items\":[";
    std::wstring filler(96, generation);
    for (int i = 0; i < nItems; i++)
    {
        if (i > 0)
            text += L",";
        text += L"{\"Id\":" + std::to_wstring(i) + L",\"Text\":\"" + filler + L"\",\"DeleteFiles\":true}";
    }
    text += L"]}";
    return text;
}
