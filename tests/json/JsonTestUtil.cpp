#include "tests/json/JsonTestUtil.h"

#include <wchar.h>

#include <algorithm>

#include "common/GpResult.h"
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
            s += (i ? L"," : L"") + Dump((*pArr)[i].get());
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
        s += (i ? L"," : L"") + std::wstring(pElem->key.c_str()) + L":" + Dump(pElem->value.get());
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

std::string DecryptedData(const std::wstring& path)
{
    JsonFile doc;
    if (doc.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING) != 1 ||
        doc.m_ef.Read() != ERROR_OK)
        return "";
    return std::string(reinterpret_cast<const char*>(doc.m_ef.GetData()),
                       static_cast<size_t>(doc.m_ef.GetDataSize()));
}

std::wstring DecryptedText(const std::wstring& path)
{
    std::string data = DecryptedData(path);
    if (data.empty())
        return L"<unreadable>";
    const wchar_t* p = reinterpret_cast<const wchar_t*>(data.data());
    return std::wstring(p, wcsnlen(p, data.size() / sizeof(wchar_t)));
}

bool WriteEncryptedText(const std::wstring& path, const std::wstring& text)
{
    JsonFile doc;
    if (doc.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS) != 1)
        return false;
    return doc.m_ef.SetData(text.c_str(), static_cast<int>((text.size() + 1) * sizeof(wchar_t))) &&
           doc.m_ef.Write() == ERROR_OK;
}

std::vector<std::wstring> Traced(const std::function<void()>& fn)
{
    // One listener for the whole program. The listener answers a record before it stores it, so
    // records can land out of order and just after the last one: wait a moment, then sort by time.
    static lumotest::TraceCapture capture;
    static int nCapture = 0;
    std::wstring end = L"--jsontest capture " + std::to_wstring(++nCapture) + L" ends--";
    capture.Clear();
    fn();
    GPTRACE(TRACE_FATAL, L"%s", end.c_str());
    capture.WaitFor(end);
    Sleep(50);
    std::vector<DebugRecord> records = capture.Records();
    capture.Clear();
    std::stable_sort(records.begin(), records.end(), [](const DebugRecord& a, const DebugRecord& b) {
        return a.time != b.time ? a.time < b.time : a.sequence < b.sequence;
    });
    std::vector<std::wstring> out;
    for (const DebugRecord& r : records)
    {
        if (r.message != end)
            out.push_back(r.message);
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
