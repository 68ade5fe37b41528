// The lenient text parser: it looks for the structure it needs and skips what it does not
// understand between values. No step reads past the terminating zero.
#include <climits>
#include <memory>
#include <string.h>
#include <wchar.h>

#include "common/GpTrace.h"
#include "json/JsonFile.h"

namespace
{
bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

bool IsNumberChar(wchar_t c)
{
    return c != L'\0' && wcschr(L"+-.0123456789Ee", c) != nullptr;
}

// Characters from pStart to p, or -3 when the count does not fit.
int Consumed(const wchar_t* pStart, const wchar_t* p)
{
    ptrdiff_t n = p - pStart;
    return n > INT_MAX ? -3 : static_cast<int>(n);
}

void AppendN(VString& out, const wchar_t* psz, size_t n)
{
    if (n == 0)
        return;
    int nCur = out.GetLength();
    if (n > static_cast<size_t>(INT_MAX / 2 - nCur) || !out.Alloc(nCur + static_cast<int>(n), false))
        return;
    wchar_t* pBuf = out.GetBuffer();
    memcpy(pBuf + nCur, psz, n * sizeof(wchar_t));
    pBuf[nCur + n] = L'\0';
}

// True when p starts with pszWord, letters compared without regard to case.
bool MatchNoCase(const wchar_t* p, const wchar_t* pszWord)
{
    for (; *pszWord != L'\0'; p++, pszWord++)
    {
        if (*p == L'\0' || towlower(*p) != *pszWord)
            return false;
    }
    return true;
}

// At "//" or "/*": moves p past the comment ("//" stops on the line feed) and answers true.
bool SkipComment(const wchar_t*& p)
{
    if (p[0] != L'/')
        return false;
    if (p[1] == L'/')
    {
        for (p += 2; *p != L'\0' && *p != L'\n'; p++)
        {
        }
        return true;
    }
    if (p[1] == L'*')
    {
        for (p += 2; *p != L'\0' && !(p[0] == L'*' && p[1] == L'/'); p++)
        {
        }
        if (*p != L'\0')
            p += 2;
        return true;
    }
    return false;
}

// Walks the adjacent pieces of a string from p (just after its opening quote): pieces separated
// only by blanks belong together. Copies their characters to pOut when it is given and answers
// their count; p is left on the last closing quote, or on the terminator.
size_t WalkPieces(const wchar_t*& p, wchar_t* pOut)
{
    size_t nTotal = 0;
    for (;;)
    {
        const wchar_t* pStart = p;
        while (*p != L'"' && *p != L'\0')
        {
            if (*p == L'\\' && p[1] != L'\0')
                p++;
            p++;
        }
        size_t n = static_cast<size_t>(p - pStart);
        if (pOut != nullptr)
            memcpy(pOut + nTotal, pStart, n * sizeof(wchar_t));
        nTotal += n;
        if (*p == L'\0')
            return nTotal;
        const wchar_t* q = p + 1;
        while (*q == L' ')
            q++;
        if (*q != L'"')
            return nTotal;
        p = q + 1;
    }
}

// Escapes are kept as written. The pieces are measured first and copied once: joining them one
// by one would copy what was already joined again for every further piece.
void ParseString(const wchar_t*& p, VString& out)
{
    const wchar_t* pEnd = p;
    size_t n = WalkPieces(pEnd, nullptr);
    int nCur = out.GetLength();
    if (n == 0 || n > static_cast<size_t>(INT_MAX / 2 - nCur) ||
        !out.Alloc(nCur + static_cast<int>(n), false))
    {
        p = pEnd;
        return;
    }
    wchar_t* pBuf = out.GetBuffer();
    WalkPieces(p, pBuf + nCur);
    pBuf[nCur + n] = L'\0';
}

// Members and elements arrive one at a time; the array's own step (at most 1024 elements) would
// copy a large array over and over. While parsing, an array grows by its current size, so that
// parsing stays linear; afterwards it is back on its own rule for whatever is added later.
int ElementCount(const JsonArrayT& arr)
{
    return arr.GetSize();
}
int ElementCount(const JsonObjectT& obj)
{
    return obj.GetCount();
}

template <typename Container> class GeometricGrowth
{
public:
    explicit GeometricGrowth(Container& c) : m_c(c) {}
    ~GeometricGrowth() { m_c.SetGrowBy(0); }
    GeometricGrowth(const GeometricGrowth&) = delete;
    GeometricGrowth& operator=(const GeometricGrowth&) = delete;
    // Before each addition.
    void Next()
    {
        int n = ElementCount(m_c);
        m_c.SetGrowBy(n >= 32 ? n : 0);
    }

private:
    Container& m_c;
};

// Moves p to the next ',', ']' or '}' outside comments, or to the terminator.
void SkipToDelimiter(const wchar_t*& p)
{
    while (*p != L'\0' && *p != L',' && *p != L']' && *p != L'}')
    {
        if (!SkipComment(p))
            p++;
    }
}

// Steps over whitespace and comments before a value; a '/' that starts no comment is skipped
// together with the character after it.
void SkipToValue(const wchar_t*& p)
{
    for (;;)
    {
        while (IsSpace(*p))
            p++;
        if (*p != L'/')
            return;
        if (!SkipComment(p))
        {
            p++;
            if (*p != L'\0')
                p++;
        }
    }
}

// The run of number characters at p, unchecked; p is left on its last character.
void ParseNumber(const wchar_t*& p, JsonValueT& value)
{
    value.m_nType = JT_LITERAL;
    const wchar_t* pRun = p;
    while (IsNumberChar(*p))
        p++;
    AppendN(value.m_str, pRun, static_cast<size_t>(p - pRun));
    p--;
}

// "true" or "false" at p in any case, kept in lower case; p is left on the last letter.
int ParseBool(const wchar_t*& p, JsonValueT& value, const wchar_t* pszFn)
{
    value.m_nType = JT_LITERAL;
    const wchar_t* pszWord = MatchNoCase(p, L"true")    ? L"true"
                             : MatchNoCase(p, L"false") ? L"false"
                                                        : nullptr;
    if (pszWord == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] return code:%d next=<%s>", pszFn, -3, p);
        return -337;
    }
    value.m_str = pszWord;
    p += wcslen(pszWord) - 1;
    return 0;
}

// "null" at p in any case, kept in lower case; p is left on the last letter.
int ParseNull(const wchar_t*& p, JsonValueT& value, const wchar_t* pszFn)
{
    value.m_nType = JT_LITERAL;
    if (!MatchNoCase(p, L"null"))
    {
        GPTRACE(TRACE_ERROR, L"[%s] return code:%d next=<%s>", pszFn, -3, p);
        return -348;
    }
    value.m_str = L"null";
    p += 3;
    return 0;
}
} // namespace

int JsonFile::Parse(const wchar_t* pszText)
{
    static const wchar_t* const FN = L"JsonFile::Parse";
    m_root.Clear();
    if (pszText == nullptr || pszText[0] == L'\0')
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！ISVALID_PSTR\u3000for <%s>", FN, pszText != nullptr ? pszText : L"");
        return -3;
    }
    const wchar_t* p = pszText;
    while (*p != L'\0' && *p != L'{')
        p++;
    if (*p == L'\0')
        return Consumed(pszText, p); // no object: an empty document
    m_nDepth = 1;
    int rc = ParseObject(p, &m_root);
    m_nDepth = 0;
    if (rc < 0)
        return rc;
    return Consumed(pszText, p);
}

int JsonFile::ParseObject(const wchar_t*& p, JsonObjectT* pObj)
{
    static const wchar_t* const FN = L"JsonFile::ParseObject";
    const wchar_t* pStart = p;
    GeometricGrowth<JsonObjectT> growth(*pObj);
    while (*p != L'}' && *p != L'\0')
    {
        if (*p == L'"')
        {
            // Ours until the object takes it over: a failed growth throws past us.
            auto elem = std::make_unique<JsonEelementT>();
            p++;
            ParseString(p, elem->key);
            while (*p != L'\0' && *p != L':')
                p++;
            if (*p == L'\0')
                break;
            elem->value = std::make_unique<JsonValueT>();
            p++;
            int rc = ParseValue(p, elem->value.get());
            if (rc < 0)
            {
                GPTRACE(TRACE_ERROR, L"[%s] ParseValue rc=%d val=<%s> next=<%s>", FN, rc,
                        elem->value->m_str.c_str(), p);
                return -406;
            }
            growth.Next();
            pObj->Add(elem); // refused (no value before the end of the text): not an error here
            if (*p == L'}')
                return Consumed(pStart, p);
            if (*p == L'\0')
                break;
        }
        p++;
    }
    return Consumed(pStart, p);
}

int JsonFile::ParseValue(const wchar_t*& p, JsonValueT* pValue)
{
    static const wchar_t* const FN = L"JsonFile::ParseValue";
    const wchar_t* pStart = p;
    SkipToValue(p);
    wchar_t c = *p;
    if (c == L'\0')
        return Consumed(pStart, p); // the text ended before a value: it stays unset

    int rc = 0;
    if (c == L'"')
    {
        pValue->m_nType = JT_STRING;
        p++;
        ParseString(p, pValue->m_str);
    }
    else if (c == L'-' || (c >= L'0' && c <= L'9'))
    {
        ParseNumber(p, *pValue);
    }
    else if (c == L't' || c == L'f')
    {
        rc = ParseBool(p, *pValue, FN);
    }
    else if (c == L'n')
    {
        rc = ParseNull(p, *pValue, FN);
    }
    else if (c == L'[' || c == L'{')
    {
        rc = ParseChild(p, pValue);
    }
    else
    {
        GPTRACE(TRACE_ERROR, L"[%s] 不正な開始文字 *p=<%c> p=<%s>", FN, c, p);
        pValue->m_nType = JT_INVALID;
        rc = -358;
    }
    if (rc < 0)
        return rc;

    // p stands on the value's last character (or the terminator of an unterminated one).
    if (*p != L'\0')
        p++;
    SkipToDelimiter(p);
    return Consumed(pStart, p);
}

// The array or object at p ('[' or '{') as the value's child; p is left on its closing bracket.
// A failure leaves the value unset, without a child.
int JsonFile::ParseChild(const wchar_t*& p, JsonValueT* pValue)
{
    static const wchar_t* const FN = L"JsonFile::ParseValue";
    bool bArray = (*p == L'[');
    int nFail = bArray ? -310 : -298;
    if (m_nDepth >= JSON_MAX_DEPTH)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！入れ子が深すぎます。 max=%d p=<%s>", FN, JSON_MAX_DEPTH, p);
        return nFail;
    }
    p++;
    m_nDepth++;
    int rc;
    if (bArray)
    {
        auto arr = std::make_unique<JsonArrayT>();
        JsonArrayT* pArr = arr.get();
        pValue->m_nType = JT_ARRAY;
        pValue->m_pChild = std::move(arr);
        rc = ParseArray(p, pArr);
        if (rc < 0)
            GPTRACE(TRACE_ERROR, L"[%s] ParseArray rc=%d p=<%s>", FN, rc, p);
    }
    else
    {
        auto obj = std::make_unique<JsonObjectT>();
        JsonObjectT* pObj = obj.get();
        pValue->m_nType = JT_OBJECT;
        pValue->m_pChild = std::move(obj);
        rc = ParseObject(p, pObj);
        if (rc < 0)
            GPTRACE(TRACE_ERROR, L"[%s] ParseObject rc=%d p=<%s>", FN, rc, p);
    }
    m_nDepth--;
    if (rc >= 0)
        return 0;
    pValue->m_pChild.reset();
    pValue->m_nType = JT_INVALID;
    return nFail;
}

int JsonFile::ParseArray(const wchar_t*& p, JsonArrayT* pArr)
{
    static const wchar_t* const FN = L"JsonFile::ParseArray";
    const wchar_t* pStart = p;
    GeometricGrowth<JsonArrayT> growth(*pArr);
    while (*p != L']' && *p != L'\0')
    {
        if (IsSpace(*p))
        {
            p++;
            continue;
        }
        auto value = std::make_unique<JsonValueT>();
        int rc = ParseValue(p, value.get());
        if (rc < 0)
        {
            GPTRACE(TRACE_ERROR, L"[%s] ParseValue=%d. for <%s>", FN, rc, p);
            return -259;
        }
        if (*p == L',')
            p++;
        growth.Next();
        pArr->Add(std::move(value));
    }
    return Consumed(pStart, p);
}
