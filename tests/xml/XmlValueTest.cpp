#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "xml/XmlComError.h"
#include "xml/XmlInt.h"

TEST(XmlToInt, ReadsLikeTheRuntimeAndClampsToTheRange)
{
    struct Case
    {
        const wchar_t* text;
        int value;
    };
    const Case cases[] = {
        {L"", 0},
        {L"0", 0},
        {L"\t \r\n 17", 17},
        {L"+5x", 5},
        {L"-2147483648", INT_MIN},
        {L"-2147483649", INT_MIN},
        {L"2147483648", INT_MAX},
        {L"000000000000000000000012", 12},
        {L"123456789012345678901234567890", INT_MAX},
        {L"- 3", 0},
        {L"++3", 0},
        {L"１２", 0}, // full-width digits are not digits here
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value, XmlToInt(c.text)) << static_cast<const void*>(c.text);
    EXPECT_EQ(0, XmlToInt(nullptr));
}

TEST(XmlComError, DescriptionFallsBackToTheFixedTexts)
{
    wchar_t buf[256];
    // Codes the system knows give its text, others the dispatch or unknown form.
    std::wstring known = CXmlComError(E_ACCESSDENIED).Description(buf, 256);
    EXPECT_FALSE(known.empty());
    EXPECT_EQ(std::wstring::npos, known.find(L"error 0x")) << known;
    EXPECT_EQ(std::wstring::npos, known.find(L'\n')) << known;
    EXPECT_STREQ(L"IDispatch error #3537",
                 CXmlComError(static_cast<HRESULT>(0x80040FD1)).Description(buf, 256));
    EXPECT_STREQ(L"Unknown error 0xA0F01234",
                 CXmlComError(static_cast<HRESULT>(0xA0F01234)).Description(buf, 256));
    // The buffer bound holds even for a tiny buffer.
    wchar_t small[4] = {L'x', L'x', L'x', L'x'};
    CXmlComError(static_cast<HRESULT>(0xA0F01234)).Description(small, 3);
    EXPECT_EQ(L'\0', small[2]);
    EXPECT_EQ(L'x', small[3]);
}
