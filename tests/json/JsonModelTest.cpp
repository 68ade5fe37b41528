#include <gtest/gtest.h>

#include <memory>

#include "common/GpSeams.h"
#include "tests/json/JsonTestUtil.h"

using namespace jsontest;

namespace
{
std::unique_ptr<JsonEelementT> Member(const wchar_t* pszName, const wchar_t* pszLiteral)
{
    auto elem = std::make_unique<JsonEelementT>();
    elem->key = pszName;
    elem->value = std::make_unique<JsonValueT>();
    elem->value->SetValue(pszLiteral);
    return elem;
}

int AddMember(JsonObjectT& obj, const wchar_t* pszName, const wchar_t* pszLiteral)
{
    std::unique_ptr<JsonEelementT> elem = Member(pszName, pszLiteral);
    return obj.Add(elem);
}
} // namespace

TEST(JsonModel, SetValueMakesLiteralsOnlyFromLiteralTexts)
{
    struct Case
    {
        const wchar_t* text;
        int rc;
        int type;
        const wchar_t* str;
    } cases[] = {
        {L"false", 1, JT_LITERAL, L"false"}, {L"true", 1, JT_LITERAL, L"true"},
        {L"null", 1, JT_LITERAL, L"null"},   {L"-1.5e+3", 1, JT_LITERAL, L"-1.5e+3"},
        {L"", 1, JT_LITERAL, L""},           {L"1.2.3e", 1, JT_LITERAL, L"1.2.3e"},
        {nullptr, 0, JT_LITERAL, L"null"},   {L"False", -3, JT_INVALID, L"False"},
        {L"1,5", -3, JT_INVALID, L"1,5"},    {L"yes", -3, JT_INVALID, L"yes"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text ? c.text : L"(no text)");
        for (int startType : {JT_INVALID, JT_LITERAL, JT_STRING})
        {
            JsonValueT v;
            v.m_nType = startType;
            v.m_str = L"old";
            std::vector<std::wstring> traces = Traced([&] { EXPECT_EQ(c.rc, v.SetValue(c.text)); });
            EXPECT_EQ(c.type, v.m_nType);
            EXPECT_STREQ(c.str, v.m_str.c_str());
            EXPECT_EQ(nullptr, v.m_pChild.get());
            if (c.rc == -3)
            {
                ASSERT_EQ(1u, traces.size());
                EXPECT_EQ(L"[JsonValueT::SetValue] 不正データ str=<" + std::wstring(c.text) + L">",
                          traces[0]);
            }
            else
            {
                EXPECT_TRUE(traces.empty());
            }
        }
    }
}

TEST(JsonModel, SetValueLeavesArraysAndObjectsAlone)
{
    JsonFile doc;
    ASSERT_GE(ParseInto(doc, L"{\"o\":{\"a\":1},\"l\":[1,2]}"), 0);
    EXPECT_EQ(-2, doc.m_root.FindValue(L"o")->SetValue(L"false"));
    EXPECT_EQ(-2, doc.m_root.FindValue(L"l")->SetValue(nullptr));
    EXPECT_EQ(L"{o:{a:1},l:[1,2]}", Dump(doc.m_root));
}

TEST(JsonModel, AddRefusesMissingPiecesAndUnsetValues)
{
    JsonObjectT obj;
    std::unique_ptr<JsonEelementT> none;
    std::vector<std::wstring> traces = Traced([&] { EXPECT_EQ(-1, obj.Add(none)); });
    ASSERT_EQ(1u, traces.size());
    EXPECT_EQ(0u, traces[0].find(L"[JsonObjectT::Add] NullPointer! ar=0x"));

    // A value refused by SetValue cannot be added; the member stays with the caller.
    std::unique_ptr<JsonEelementT> bad = Member(L"Flag", L"False");
    traces = Traced([&] { EXPECT_EQ(-3, obj.Add(bad)); });
    EXPECT_EQ(std::vector<std::wstring>{L"[JsonObjectT::Add] 不正データ key=<Flag>"}, traces);
    ASSERT_NE(nullptr, bad.get());
    EXPECT_STREQ(L"Flag", bad->key.c_str());

    auto noValue = std::make_unique<JsonEelementT>();
    EXPECT_EQ(-3, obj.Add(noValue));
    EXPECT_NE(nullptr, noValue.get());

    // A member taken over leaves the caller's owner empty.
    std::unique_ptr<JsonEelementT> a = Member(L"a", L"1");
    JsonEelementT* pA = a.get();
    EXPECT_EQ(1, obj.Add(a));
    EXPECT_EQ(nullptr, a.get());
    EXPECT_EQ(pA, obj.GetAt(0));
    EXPECT_EQ(2, AddMember(obj, L"b", L"2"));
    EXPECT_EQ(2, obj.GetCount());
    obj.Clear();
    EXPECT_EQ(0, obj.GetCount());
    EXPECT_EQ(1, AddMember(obj, L"c", L"3"));
}

// An exhausted heap throws out of Add: the member is still the caller's, the object unchanged.
TEST(JsonModel, AddThatCannotGrowLeavesTheMemberWithTheCaller)
{
    JsonObjectT obj;
    ASSERT_EQ(1, AddMember(obj, L"a", L"1"));
    std::unique_ptr<JsonEelementT> b = Member(L"b", L"2");
    GpSeam().ArrayGrowthFailsFn = [] { return true; };
    EXPECT_THROW(obj.Add(b), int);
    GpSeamsReset();
    ASSERT_NE(nullptr, b.get());
    EXPECT_STREQ(L"b", b->key.c_str());
    EXPECT_EQ(1, obj.GetCount());
}

TEST(JsonModel, GetAtOutsideTheMembersWarns)
{
    JsonObjectT obj;
    AddMember(obj, L"a", L"1");
    for (int index : {-1, 1})
    {
        std::vector<std::wstring> traces = Traced([&] { EXPECT_EQ(nullptr, obj.GetAt(index)); });
        EXPECT_EQ(std::vector<std::wstring>{L"\u3000Index(" + std::to_wstring(index) + L")が範囲外 [n=1]"},
                  traces);
    }
}

TEST(JsonModel, NamesAreExactAndTheFirstOfTwinsWins)
{
    JsonObjectT obj;
    AddMember(obj, L"DeleteFiles", L"true");
    AddMember(obj, L"DeleteFiles", L"false");
    EXPECT_EQ(2, obj.GetCount());
    EXPECT_EQ(nullptr, obj.Find(L"deletefiles"));
    EXPECT_EQ(nullptr, obj.Find(L"DeleteFile"));
    EXPECT_EQ(obj.GetAt(0), obj.Find(L"DeleteFiles"));
    EXPECT_EQ(obj.GetAt(0)->value.get(), obj.FindValue(L"DeleteFiles"));

    JsonObjectT noName;
    std::unique_ptr<JsonEelementT> unnamed = Member(L"", L"1");
    JsonEelementT* pUnnamed = unnamed.get();
    noName.Add(unnamed);
    EXPECT_EQ(pUnnamed, noName.Find(nullptr));
    EXPECT_EQ(pUnnamed, noName.Find(L""));
}

TEST(JsonModel, FindValueFollowsNamesAndIndexes)
{
    JsonFile doc;
    ASSERT_GE(ParseInto(doc, L"{\"List\":[1,2],\"Grid\":[[1,2],[3,{\"z\":\"deep\"}]],"
                             L"\"Sub\":{\"A\":1,\"In\":{\"B\":true}},\"top\":7}"),
              0);
    struct Case
    {
        const wchar_t* path;
        const wchar_t* found; // Dump of the result
        const wchar_t* trace; // expected warning, or none
    } cases[] = {
        {L"List", L"[1,2]", nullptr},
        {L"List[1]", L"2", nullptr},
        {L"List.[0]", L"1", nullptr},
        {L"Grid[1][0]", L"3", nullptr},
        {L"Grid[1][1].z", L"\"deep\"", nullptr},
        {L"Sub.A", L"1", nullptr},
        {L"Sub.In.B", L"true", nullptr},
        {L"List[2]", L"<none>", L"\u3000Index(2)が範囲外 [n=2]"},
        {L"List[x]", L"<none>", L"\u3000不正なIndex文字<x>"},
        {L"List[1x]", L"<none>", L"\u3000不正なIndex文字<x>"},
        {L"List[99999999999999999999]", L"<none>", L"が範囲外 [n=2]"},
        {L"List[]", L"<none>", nullptr},
        {L"List[1", L"<none>", nullptr},
        {L"Missing", L"<none>", nullptr},
        {L"", L"<none>", nullptr},
        {L".List", L"<none>", nullptr},
        {L"Sub.Missing", L"<none>", nullptr},
        // After a literal the next name is looked up in the same object again.
        {L"top.List[0]", L"1", nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        JsonValueT* pFound = nullptr;
        std::vector<std::wstring> traces = Traced([&] { pFound = doc.m_root.FindValue(c.path); });
        EXPECT_EQ(c.found, Dump(pFound));
        if (c.trace)
        {
            ASSERT_EQ(1u, traces.size());
            EXPECT_NE(std::wstring::npos, traces[0].find(c.trace)) << traces[0];
        }
        else
        {
            EXPECT_TRUE(traces.empty());
        }
    }
    std::wstring longName(300, L'a');
    EXPECT_EQ(nullptr, doc.m_root.FindValue(longName.c_str()));
    EXPECT_EQ(nullptr, doc.m_root.FindValue(nullptr));
}

TEST(JsonModel, FindValueOnAnEmptyDocumentFindsNothing)
{
    JsonFile doc;
    EXPECT_EQ(nullptr, doc.m_root.FindValue(L"DeleteFiles"));
    EXPECT_EQ(0, doc.m_root.GetCount());
}
