#include <gtest/gtest.h>

#include <string.h>

#include "tests/json/JsonTestUtil.h"

using namespace jsontest;

namespace
{
// The text ends right at the end of a readable page: a read past its terminator faults.
class GuardedText
{
public:
    explicit GuardedText(const std::wstring& text)
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        size_t cb = (text.size() + 1) * sizeof(wchar_t);
        size_t cbPages = (cb + si.dwPageSize - 1) / si.dwPageSize * si.dwPageSize;
        m_pBase = static_cast<BYTE*>(
            VirtualAlloc(nullptr, cbPages + si.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD dwOld;
        VirtualProtect(m_pBase + cbPages, si.dwPageSize, PAGE_NOACCESS, &dwOld);
        m_psz = reinterpret_cast<wchar_t*>(m_pBase + cbPages - cb);
        memcpy(m_psz, text.c_str(), cb);
    }
    ~GuardedText() { VirtualFree(m_pBase, 0, MEM_RELEASE); }
    const wchar_t* c_str() const { return m_psz; }

private:
    BYTE* m_pBase = nullptr;
    wchar_t* m_psz = nullptr;
};

struct ParseCase
{
    const wchar_t* text;
    int rc;               // expected result; 1 stands for "any count of 0 or more"
    const wchar_t* model; // Dump of the root afterwards
    const wchar_t* trace; // a trace line that must be among the records, or none
};

const ParseCase PARSE_CASES[] = {
    {L"no object here", 1, L"{}", nullptr},
    {L"", kJsonFailed, L"{}", L"[JsonFile::Parse] ！ISVALID_PSTR\u3000for <>"},
    {L"{}", 1, L"{}", nullptr},
    {L"{\"a\":1 \"b\":2}", 1, L"{a:1}", nullptr},
    {L"{\"a\":1, \"b\":\"x\", \"c\":null}", 1, L"{a:1,b:\"x\",c:null}", nullptr},
    {L"{\"a\":x}", kJsonTextRefused, L"{}", L"[JsonFile::ParseValue] 不正な開始文字 *p=<x> p=<x}>"},
    {L"{\"a\":TRUE}", kJsonTextRefused, L"{}", L"不正な開始文字 *p=<T>"},
    {L"{\"a\":tRUE,\"b\":FaLsE,\"c\":NULL}", kJsonTextRefused, L"{a:true}", L"不正な開始文字 *p=<F>"},
    {L"{\"a\":tRUE,\"b\":fALSE,\"c\":nULL}", 1, L"{a:true,b:false,c:null}", nullptr},
    {L"{\"a\":tru}", kJsonTextRefused, L"{}", L"[JsonFile::ParseValue] return code:-3 next=<tru}>"},
    {L"{\"a\":nul}", kJsonTextRefused, L"{}",
     L"[JsonFile::ParseObject] ParseValue rc=-348 val=<> next=<nul}>"},
    {L"{\"Delete\"  \"Files\":1}", 1, L"{DeleteFiles:1}", nullptr},
    {L"{\"s\":\"ab\" \"cd\"}", 1, L"{s:\"abcd\"}", nullptr},
    {L"{\"a\":/* note */1}", 1, L"{a:1}", nullptr},
    {L"{\"a\":// note\n1}", 1, L"{a:1}", nullptr},
    {L"{\"a\":1 /* , \"b\":2 } */, \"c\":3}", 1, L"{a:1,c:3}", nullptr},
    {L"{\"a\":1 // ,}\n, \"c\":3}", 1, L"{a:1,c:3}", nullptr},
    {L"{\"a\":/x1}", 1, L"{a:1}", nullptr},
    {L"{\"a\":1.2.3e}", 1, L"{a:1.2.3e}", nullptr},
    {L"{\"a\":-}", 1, L"{a:-}", nullptr},
    {L"{\"a\":[1,]}", 1, L"{a:[1]}", nullptr},
    {L"{\"a\":[ ]}", 1, L"{a:[]}", nullptr},
    {L"{\"a\":[1,,2]}", kJsonTextRefused, L"{}", L"[JsonFile::ParseArray] ParseValue=-358. for <,2]}>"},
    {L"{\"a\":[1,,2]}", kJsonTextRefused, L"{}", L"[JsonFile::ParseValue] ParseArray rc=-259 p=<,2]}>"},
    {L"{\"a\":{\"b\":x}}", kJsonTextRefused, L"{}", L"[JsonFile::ParseValue] ParseObject rc=-406 p=<x}}>"},
    {L"{\"a\":1,\"b\":{\"c\":[x]}}", kJsonTextRefused, L"{a:1}", nullptr},
    {L"{\"e\":\"q\\\"uote\\\\\"}", 1, L"{e:\"q\\\"uote\\\\\"}", nullptr},
    {L"{\"a\" junk : 1}", 1, L"{a:1}", nullptr},
    {L"{\"a\":1} {\"b\":2}", 1, L"{a:1}", nullptr},
    {L"lead {\"a\":1}", 1, L"{a:1}", nullptr},
    // Unterminated text ends the parse with what was read.
    {L"{\"a\":[1,2", 1, L"{a:[1,2]}", nullptr},
    {L"{\"a\":\"abc", 1, L"{a:\"abc\"}", nullptr},
    {L"{\"a\":\"ab\\", 1, L"{a:\"ab\\\"}", nullptr},
    {L"{\"a", 1, L"{}", nullptr},
    {L"{\"a\":", 1, L"{}", L"[JsonObjectT::Add] 不正データ key=<a>"},
    {L"{\"a\":/*", 1, L"{}", L"不正データ key=<a>"},
    {L"{\"a\":{\"b\":1", 1, L"{a:{b:1}}", nullptr},
    {L"{\"a\":t", kJsonTextRefused, L"{}", nullptr},
    {L"{\"a\":f/", kJsonTextRefused, L"{}", nullptr},
    {L"{\"a\":1//", 1, L"{a:1}", nullptr},
    {L"{\"a\":[1/*", 1, L"{a:[1]}", nullptr},
    {L"{\"a\":[/*", 1, L"{a:[?]}", nullptr},
    {L"{\"a\":/", 1, L"{}", L"不正データ key=<a>"},
};
} // namespace

TEST(JsonText, ParseCases)
{
    for (const ParseCase& c : PARSE_CASES)
    {
        SCOPED_TRACE(c.text);
        JsonFile doc;
        GuardedText text(c.text);
        int rc = 0;
        std::vector<std::wstring> traces = Traced([&] { rc = doc.Parse(text.c_str()); });
        if (c.rc == 1)
            EXPECT_GE(rc, 0);
        else
            EXPECT_EQ(c.rc, rc);
        EXPECT_EQ(c.model, Dump(doc.m_root));
        if (c.trace)
        {
            EXPECT_TRUE(AnyContains(traces, c.trace)) << (traces.empty() ? L"" : traces[0]);
        }
        else if (rc >= 0)
        {
            EXPECT_TRUE(traces.empty()) << traces[0];
        }
    }
}

TEST(JsonText, ParseCountsTheCharactersUpToTheRootsClosingBrace)
{
    JsonFile doc;
    EXPECT_EQ(8, doc.Parse(L"  {\"a\":1} tail"));
    EXPECT_EQ(4, doc.Parse(L"none"));
    EXPECT_EQ(kJsonFailed, doc.Parse(nullptr));
}

TEST(JsonText, ParseReplacesTheRootsMembers)
{
    JsonFile doc;
    ASSERT_GE(doc.Parse(L"{\"a\":1}"), 0);
    ASSERT_GE(doc.Parse(L"{\"b\":2}"), 0);
    EXPECT_EQ(L"{b:2}", Dump(doc.m_root));
    EXPECT_EQ(kJsonFailed, doc.Parse(L""));
    EXPECT_EQ(L"{}", Dump(doc.m_root));
}

// Every cut of a rich text must parse without reading past its end.
TEST(JsonText, EveryPrefixStaysInsideTheText)
{
    std::wstring rich = L"{\"a\" \"b\":[1,{\"c\":\"x\\\"y\"},[true,false,null]],/* c */\"d\"://x\n-1.5e3,"
                        L"\"e\":{\"f\":{\"g\":[]}}, \"h\":tRUE }";
    for (size_t n = 0; n <= rich.size(); n++)
    {
        JsonFile doc;
        GuardedText text(rich.substr(0, n));
        doc.Parse(text.c_str());
    }
    JsonFile doc;
    ASSERT_GE(doc.Parse(rich.c_str()), 0);
    EXPECT_EQ(L"{ab:[1,{c:\"x\\\"y\"},[true,false,null]],d:-1.5e3,e:{f:{g:[]}},h:true}", Dump(doc.m_root));
}

TEST(JsonText, WriterLayoutIsFixed)
{
    JsonFile doc;
    ASSERT_GE(doc.Parse(L"{\"DeleteFiles\":false,\"Path\":\"C:\\\\Temp\",\"Sub\":{\"A\":1},\"List\":[1,2]}"),
              0);
    std::wstring expected = L"\r\n"
                            L"{\r\n"
                            L"\t\"DeleteFiles\" : false ,\r\n"
                            L"\t\"Path\" : \"C:\\\\Temp\" ,\r\n"
                            L"\t\"Sub\" : \t\r\n"
                            L"\t{\r\n"
                            L"\t\t\"A\" : 1 \r\n"
                            L"\t}\r\n"
                            L",\r\n"
                            L"\t\"List\" : [1 \t\t,2 \t]\r\n"
                            L"\r\n"
                            L"}\r\n";
    EXPECT_EQ(expected, WriteText(doc));
    EXPECT_EQ(0, doc.m_nIndent);
}

TEST(JsonText, NestedObjectsGainOneTabPerLevel)
{
    JsonFile doc;
    ASSERT_GE(doc.Parse(L"{\"a\":{\"b\":{\"c\":1}}, \"e\":{}}"), 0);
    std::wstring text = WriteText(doc);
    EXPECT_NE(std::wstring::npos,
              text.find(L"\r\n\t\t\"b\" : \t\t\r\n\t\t{\r\n\t\t\t\"c\" : 1 \r\n\t\t}\r\n"));
    EXPECT_NE(std::wstring::npos, text.find(L"\t\"e\" : \t\r\n\t{\r\n\t}\r\n\r\n}\r\n"));
}

TEST(JsonText, WriterOutputParsesBackToTheSameDocument)
{
    const wchar_t* docs[] = {
        L"{}",
        L"{\"DeleteFiles\":true}",
        L"{\"a\":[1,[2,[3,{}]],{\"b\":\"q\\\"x\"}],\"c\":{\"d\":{\"e\":null}},\"f\":\"\",\"g\":[]}",
        L"{\"日本語\":\"全角　｛｝\",\"x\":-0.5E-7}",
    };
    for (const wchar_t* src : docs)
    {
        SCOPED_TRACE(src);
        JsonFile first;
        ASSERT_GE(first.Parse(src), 0);
        std::wstring text = WriteText(first);
        JsonFile second;
        ASSERT_GE(second.Parse(text.c_str()), 0);
        EXPECT_EQ(Dump(first.m_root), Dump(second.m_root));
        EXPECT_EQ(text, WriteText(second));
    }
}

TEST(JsonText, NestingIsLimited)
{
    auto nested = [](int levels, wchar_t open, wchar_t close) {
        std::wstring s = L"{\"a\":";
        s += std::wstring(static_cast<size_t>(levels), open) +
             std::wstring(static_cast<size_t>(levels), close);
        return s + L"}";
    };
    // The root counts as one level.
    JsonFile doc;
    EXPECT_GE(doc.Parse(nested(JSON_MAX_DEPTH - 1, L'[', L']').c_str()), 0);
    EXPECT_EQ(kJsonTextRefused, doc.Parse(nested(JSON_MAX_DEPTH, L'[', L']').c_str()));

    std::wstring objects = L"{";
    for (int i = 1; i < JSON_MAX_DEPTH; i++)
        objects += L"\"k\":{";
    EXPECT_GE(doc.Parse(objects.c_str()), 0);
    std::vector<std::wstring> traces =
        Traced([&] { EXPECT_EQ(kJsonTextRefused, doc.Parse((objects + L"\"k\":{").c_str())); });
    EXPECT_TRUE(AnyContains(traces, L"[JsonFile::ParseValue] ！入れ子が深すぎます。 max=512"));

    // Hostile depth is refused instead of running the stack out.
    EXPECT_EQ(kJsonTextRefused, doc.Parse(nested(50000, L'[', L']').c_str()));
    EXPECT_EQ(0, doc.m_root.GetCount());
}
