#include "tools/PatchBuilder/BuilderText.h"

#include "common/GpErrorText.h"
#include "tools/common/ToolText.h"

std::wstring BuilderWide(const std::string& ansi)
{
    if (ansi.empty())
        return std::wstring();
    int cch = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring text(cch > 0 ? cch : 0, L'\0');
    if (cch > 0)
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &text[0], cch);
    return text;
}

std::string BuilderAnsi(const std::wstring& text, bool& bLossless)
{
    bLossless = true;
    if (text.empty())
        return std::string();
    BOOL bUsedDefault = FALSE;
    int cb = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                 nullptr, 0, nullptr, &bUsedDefault);
    std::string ansi(cb > 0 ? cb : 0, '\0');
    if (cb > 0)
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                            &ansi[0], cb, nullptr, &bUsedDefault);
    // A round trip catches what the default-character flag alone may miss.
    bLossless = cb > 0 && !bUsedDefault && BuilderWide(ansi) == text;
    return ansi;
}

std::string BuilderUtf8(const std::wstring& text)
{
    return ToUtf8(text);
}

std::wstring BuilderErrorText(DWORD dwError)
{
    wchar_t szText[GP_ERRTEXT_CCH];
    return GpErrorText(szText, static_cast<int>(dwError));
}

std::wstring XmlAttributeText(const std::wstring& text)
{
    std::wstring out;
    for (wchar_t c : text)
    {
        switch (c)
        {
        case L'&':
            out += L"&amp;";
            break;
        case L'<':
            out += L"&lt;";
            break;
        case L'>':
            out += L"&gt;";
            break;
        case L'"':
            out += L"&quot;";
            break;
        case L'\t':
            out += L"&#9;";
            break;
        case L'\n':
            out += L"&#10;";
            break;
        case L'\r':
            out += L"&#13;";
            break;
        default:
            out += c;
            break;
        }
    }
    return out;
}

std::wstring HexText(const BYTE* p, size_t cb)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (size_t i = 0; i < cb; i++)
    {
        text += digits[p[i] >> 4];
        text += digits[p[i] & 15];
    }
    return text;
}

void BuilderPrint(bool bError, const std::wstring& text)
{
    ConsolePrint(bError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, text);
}
