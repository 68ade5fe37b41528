#include "json/JsonValue.h"

#include <new>
#include <wchar.h>

#include "common/GpTrace.h"

namespace
{
constexpr int SEGMENT_CCH = 255; // longest name in a look-up path
constexpr int INDEX_DIGITS = 19; // longest index that still fits 64 bits

bool IsLiteralText(const wchar_t* psz)
{
    if (wcscmp(psz, L"true") == 0 || wcscmp(psz, L"false") == 0 || wcscmp(psz, L"null") == 0)
        return true;
    for (; *psz != L'\0'; psz++)
    {
        if (wcschr(L"+-.0123456789Ee", *psz) == nullptr)
            return false;
    }
    return true;
}

// Reads "[digits]" at p into the array arr. Gives the element, or none (traced) when the index
// is not a number or out of range; p is left after the closing bracket.
JsonValueT* IndexInto(const JsonArrayT& arr, const wchar_t*& p)
{
    p++; // the '['
    unsigned long long nIndex = 0;
    int nDigits = 0;
    for (; *p != L']'; p++)
    {
        if (*p == L'\0')
            return nullptr; // an index without its closing bracket names nothing
        if (*p < L'0' || *p > L'9')
        {
            GPTRACE(TRACE_WARNING, L"\u3000不正なIndex文字<%c>", *p);
            return nullptr;
        }
        if (++nDigits <= INDEX_DIGITS)
            nIndex = nIndex * 10 + static_cast<unsigned>(*p - L'0');
    }
    p++;
    if (nDigits == 0)
        return nullptr;
    if (nDigits > INDEX_DIGITS || nIndex >= static_cast<unsigned long long>(arr.GetSize()))
    {
        GPTRACE(TRACE_WARNING, L"\u3000Index(%d)が範囲外 [n=%d]", static_cast<int>(nIndex), arr.GetSize());
        return nullptr;
    }
    return arr[static_cast<int>(nIndex)];
}
} // namespace

JsonValueT::~JsonValueT()
{
    if (m_nType == JT_OBJECT)
        delete static_cast<JsonObjectT*>(m_pChild);
    else if (m_nType == JT_ARRAY)
        delete static_cast<JsonArrayT*>(m_pChild);
    m_pChild = nullptr;
}

int JsonValueT::SetValue(const wchar_t* pszText)
{
    if (m_nType == JT_ARRAY || m_nType == JT_OBJECT)
        return -2;
    m_pChild = nullptr;
    if (pszText == nullptr)
    {
        m_nType = JT_LITERAL;
        m_str = L"null";
        return 0;
    }
    m_str = pszText;
    if (IsLiteralText(pszText))
    {
        m_nType = JT_LITERAL;
        return 1;
    }
    GPTRACE(TRACE_ERROR, L"[%s] 不正データ str=<%s>", L"JsonValueT::SetValue", pszText);
    m_nType = JT_INVALID;
    return -3;
}

JsonArrayT::~JsonArrayT()
{
    for (int i = 0; i < GetSize(); i++)
        delete (*this)[i];
    SetSize(0);
}

JsonObjectT::JsonObjectT() : m_pMembers(new (std::nothrow) TmArray<JsonEelementT*>) {}

JsonObjectT::~JsonObjectT()
{
    Clear();
    delete m_pMembers;
    m_pMembers = nullptr;
}

int JsonObjectT::Add(JsonEelementT* pElem)
{
    static const wchar_t* const FN = L"JsonObjectT::Add";
    if (m_pMembers == nullptr || pElem == nullptr)
    {
        GPTRACE(TRACE_ERROR, L"[%s] NullPointer! ar=0x%p, elem=0x%p.", FN, m_pMembers, pElem);
        return -1;
    }
    // A member without a value would be written as a name with nothing after it.
    if (pElem->value == nullptr || pElem->value->m_nType == JT_INVALID)
    {
        GPTRACE(TRACE_ERROR, L"[%s] 不正データ key=<%s>", FN, pElem->key.c_str());
        return -3;
    }
    m_pMembers->Add(pElem);
    return m_pMembers->GetSize();
}

int JsonObjectT::GetCount() const
{
    return m_pMembers != nullptr ? m_pMembers->GetSize() : -1;
}

JsonEelementT* JsonObjectT::GetAt(int nIndex) const
{
    int nCount = GetCount();
    if (nIndex < 0 || nIndex >= nCount)
    {
        GPTRACE(TRACE_WARNING, L"\u3000Index(%d)が範囲外 [n=%d]", nIndex, nCount);
        return nullptr;
    }
    return (*m_pMembers)[nIndex];
}

JsonEelementT* JsonObjectT::Find(const wchar_t* pszName) const
{
    if (pszName == nullptr)
        pszName = L"";
    int nCount = GetCount();
    for (int i = 0; i < nCount; i++)
    {
        JsonEelementT* pElem = GetAt(i);
        if (pElem != nullptr && wcscmp(pElem->key.c_str(), pszName) == 0)
            return pElem;
    }
    return nullptr;
}

void JsonObjectT::Clear()
{
    if (m_pMembers == nullptr)
        return;
    for (int i = 0; i < m_pMembers->GetSize(); i++)
        delete (*m_pMembers)[i];
    m_pMembers->SetSize(0);
}

JsonValueT* JsonObjectT::FindValue(const wchar_t* pszPath) const
{
    if (pszPath == nullptr)
        return nullptr;
    const JsonObjectT* pObj = this;
    JsonValueT* pResult = nullptr;
    const wchar_t* p = pszPath;
    for (;;)
    {
        wchar_t szName[SEGMENT_CCH + 1];
        int n = 0;
        for (; *p != L'\0' && *p != L'.' && *p != L'['; p++)
        {
            if (n == SEGMENT_CCH)
                return nullptr; // no member name is this long
            szName[n++] = *p;
        }
        szName[n] = L'\0';
        if (n == 0)
            return nullptr;
        JsonEelementT* pElem = pObj->Find(szName);
        if (pElem == nullptr)
            return nullptr;
        pResult = pElem->value;

        if (pResult != nullptr && pResult->m_nType == JT_ARRAY)
        {
            if (p[0] == L'.' && p[1] == L'[')
                p++;
            while (*p == L'[' && pResult->GetArray() != nullptr)
            {
                pResult = IndexInto(*pResult->GetArray(), p);
                if (pResult == nullptr)
                    return nullptr;
            }
        }
        if (pResult != nullptr && pResult->m_nType == JT_OBJECT)
            pObj = pResult->GetObj();

        if (*p == L'.')
            p++;
        if (*p == L'\0')
            return pResult;
    }
}
