#include "json/JsonValue.h"

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
    return arr[static_cast<int>(nIndex)].get();
}
} // namespace

int JsonValueT::SetValue(const wchar_t* pszText)
{
    if (m_nType == JT_ARRAY || m_nType == JT_OBJECT)
        return -2;
    m_pChild.reset();
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

int JsonObjectT::Add(std::unique_ptr<JsonEelementT>& elem)
{
    static const wchar_t* const FN = L"JsonObjectT::Add";
    if (!elem)
    {
        GPTRACE(TRACE_ERROR, L"[%s] NullPointer! ar=0x%p, elem=0x%p.", FN,
                static_cast<const void*>(&m_members), static_cast<const void*>(elem.get()));
        return -1;
    }
    // A member without a value would be written as a name with nothing after it.
    if (!elem->value || elem->value->m_nType == JT_INVALID)
    {
        GPTRACE(TRACE_ERROR, L"[%s] 不正データ key=<%s>", FN, elem->key.c_str());
        return -3;
    }
    // Grown first: when growth throws, the member is still the caller's.
    int n = m_members.GetSize();
    m_members.SetSize(n + 1);
    m_members[n] = std::move(elem);
    return n + 1;
}

JsonEelementT* JsonObjectT::GetAt(int nIndex) const
{
    int nCount = GetCount();
    if (nIndex < 0 || nIndex >= nCount)
    {
        GPTRACE(TRACE_WARNING, L"\u3000Index(%d)が範囲外 [n=%d]", nIndex, nCount);
        return nullptr;
    }
    return m_members[nIndex].get();
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
        pResult = pElem->value.get();

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
