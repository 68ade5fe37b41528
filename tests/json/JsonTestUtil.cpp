#include "JsonTestUtil.h"

#include "common/GpTrace.h"
#include "tests/support/TraceCapture.h"

namespace jsontest
{
std::wstring Dump(const JsonValueT* pValue)
{
    if (pValue == nullptr)
        return L"<none>";
    switch (pValue->m_nType)
    {
    case JT_LITERAL:
        return pValue->m_str.c_str();
    case JT_STRING:
        return L"\"" + std::wstring(pValue->m_str.c_str()) + L"\"";
    case JT_ARRAY: {
        std::wstring s = L"[";
        const JsonArrayT* pArr = pValue->GetArray();
        for (int i = 0; i < pArr->GetSize(); i++)
            s += (i ? L"," : L"") + Dump((*pArr)[i]);
        return s + L"]";
    }
    case JT_OBJECT:
        return Dump(*pValue->GetObj());
    default:
        return L"?";
    }
}

std::wstring Dump(const JsonObjectT& obj)
{
    std::wstring s = L"{";
    for (int i = 0; i < obj.GetCount(); i++)
    {
        const JsonEelementT* pElem = obj.GetAt(i);
        s += (i ? L"," : L"") + std::wstring(pElem->key.c_str()) + L":" + Dump(pElem->value);
    }
    return s + L"}";
}

int ParseInto(JsonFile& doc, const std::wstring& text)
{
    return doc.Parse(text.c_str());
}

std::wstring WriteText(JsonFile& doc)
{
    VString out;
    doc.m_nIndent = 0;
    doc.WriteObject(&doc.m_root, out);
    return out.c_str();
}

std::vector<std::wstring> Traced(const std::function<void()>& fn)
{
    static const wchar_t* const END = L"--jsontest end of capture--";
    lumotest::TraceCapture capture;
    fn();
    GPTRACE(TRACE_FATAL, END);
    capture.WaitFor(END);
    std::vector<std::wstring> out;
    for (const std::wstring& m : capture.Messages())
    {
        if (m != END)
            out.push_back(m);
    }
    return out;
}

bool AnyContains(const std::vector<std::wstring>& messages, const std::wstring& text)
{
    for (const std::wstring& m : messages)
    {
        if (m.find(text) != std::wstring::npos)
            return true;
    }
    return false;
}
} // namespace jsontest
