#include <gtest/gtest.h>

#include "common/GpFormat.h"

// The system's formats are written for the Microsoft runtime; these pin its conventions.
TEST(GpFormat, FollowsMicrosoftConventions)
{
    wchar_t buf[128];
    GpFormat(buf, 128, L"[%s] %S %I64d %u", L"wide", "narrow", 1234567890123LL, 7u);
    EXPECT_STREQ(L"[wide] narrow 1234567890123 7", buf);
    GpFormat(buf, 128, L"%08X|%d|%ls|%hs", 0xABCDu, -5, L"l", "h");
    EXPECT_STREQ(L"0000ABCD|-5|l|h", buf);
}

TEST(GpFormat, CutsAndTerminatesWhatDoesNotFit)
{
    wchar_t buf[6];
    buf[5] = L'X';
    EXPECT_EQ(-1, GpFormat(buf, 6, L"%s", L"abcdefgh"));
    EXPECT_STREQ(L"abcde", buf);
    EXPECT_EQ(5, GpFormat(buf, 6, L"%s", L"abcde"));
    EXPECT_STREQ(L"abcde", buf);
}
