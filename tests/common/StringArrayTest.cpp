#include <gtest/gtest.h>

#include <memory>

#include "common/TmArray.h"
#include "common/VString.h"

TEST(VString, CopyOfOwnBufferAndOfNull)
{
    VString s(L"abc");
    s.Copy(s.c_str());
    EXPECT_STREQ(L"abc", s.c_str());
    s.Copy(s.c_str() + 1); // a tail of itself
    EXPECT_STREQ(L"bc", s.c_str());
    s.Copy(nullptr);
    EXPECT_TRUE(s.IsNull());
}

TEST(VString, CatOnNullAndConcatenation)
{
    VString s;
    s.Cat(L"xyz");
    EXPECT_STREQ(L"xyz", s.c_str());
    s.Cat(nullptr);
    EXPECT_STREQ(L"xyz", s.c_str());
    VString t = L"a" + s;
    EXPECT_STREQ(L"axyz", (t + VString()).c_str());
    EXPECT_STREQ(L"axyzxyz", (t + s).c_str());
}

TEST(VString, AppendUnlessPresent)
{
    VString withSlash(L"C:\\a\\");
    withSlash.AppendUnlessPresent(L"\\");
    EXPECT_STREQ(L"C:\\a\\", withSlash.c_str());
    VString without(L"C:\\a");
    without.AppendUnlessPresent(L"\\");
    EXPECT_STREQ(L"C:\\a\\", without.c_str());
    VString null;
    null.AppendUnlessPresent(L"\\");
    EXPECT_TRUE(null.IsNull());
    without.AppendUnlessPresent(L"");
    EXPECT_STREQ(L"C:\\a\\", without.c_str());
}

TEST(VString, CapacityComesFromTheHeapBlock)
{
    VString s;
    ASSERT_TRUE(s.Alloc(10, true));
    EXPECT_GE(s.GetCapacity(), 11);
    EXPECT_STREQ(L"", s.c_str());
    ASSERT_TRUE(s.Alloc(-3, false));
}

TEST(TmArray, AutomaticGrowthSteps)
{
    TmArray<VString> a;
    std::vector<int> caps;
    for (int i = 0; i < 60; i++)
    {
        a.Add(VString(L"x"));
        if (caps.empty() || caps.back() != a.GetCapacity())
            caps.push_back(a.GetCapacity());
    }
    std::vector<int> expected = {1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41, 46, 51, 57, 64};
    EXPECT_EQ(expected, caps);
    for (int i = 0; i < 60; i++)
        ASSERT_STREQ(L"x", a[i].c_str());
}

TEST(TmArray, ShrinkReleasesAndRegrowStartsEmpty)
{
    TmArray<VString> a;
    for (const wchar_t* s : {L"a", L"b", L"c", L"d", L"e"})
        a.Add(VString(s));
    a.SetSize(2);
    EXPECT_EQ(2, a.GetSize());
    a.SetSize(5);
    EXPECT_STREQ(L"b", a[1].c_str());
    for (int i = 2; i < 5; i++)
        EXPECT_TRUE(a[i].IsNull());
    a.Add(a[0]); // an element of its own, across a reallocation
    EXPECT_STREQ(L"a", a[5].c_str());
}

TEST(TmArray, BytesAndPointersStartZero)
{
    TmArray<unsigned char> bytes;
    bytes.SetSize(3);
    bytes.SetSize(100);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(0, bytes[i]);
    TmArray<int*> ptrs;
    ptrs.SetGrowBy(10);
    ptrs.SetSize(1);
    ptrs.SetSize(2);
    EXPECT_EQ(11, ptrs.GetCapacity());
    EXPECT_EQ(nullptr, ptrs[1]);
}

// Owned elements are deleted exactly once: when cut off, when the array goes, never when growth
// carries them to new storage.
TEST(TmArray, OwnedElementsAreDeletedOnceWhetherCutGrownOrReleased)
{
    struct Counted
    {
        explicit Counted(int& n) : nDeleted(n) {}
        ~Counted() { nDeleted++; }
        int& nDeleted;
    };
    int nDeleted = 0;
    {
        TmArray<std::unique_ptr<Counted>> a;
        for (int i = 0; i < 40; i++)
            a.Add(std::make_unique<Counted>(nDeleted)); // several reallocations
        EXPECT_EQ(0, nDeleted);
        Counted* pKept = a[1].get();
        a.SetSize(2);
        EXPECT_EQ(38, nDeleted);
        EXPECT_EQ(pKept, a[1].get());
        a.SetSize(5); // within the capacity: the new slots are empty
        EXPECT_EQ(nullptr, a[4].get());
    }
    EXPECT_EQ(40, nDeleted);
}
