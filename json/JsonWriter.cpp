// The writer's one fixed layout (tabs, a blank after every scalar, CRLF line ends), which the
// parser reads back. Names and strings are written exactly as held: nothing is escaped.
#include "common/VString.h"
#include "json/JsonFile.h"
#include "json/JsonTextSink.h"

void JsonFile::AppendIndented(JsonTextSink& sink, const wchar_t* pszText)
{
    for (int i = 0; i < m_nIndent; i++)
        sink.Put(L"\t");
    sink.Put(pszText);
}

void JsonFile::PutObject(const JsonObjectT* pObj, JsonTextSink& sink)
{
    AppendIndented(sink, L"\r\n");
    AppendIndented(sink, L"{\r\n");
    m_nIndent++;
    int nCount = pObj->GetCount();
    for (int i = 0; i < nCount; i++)
    {
        const JsonEelementT* pElem = pObj->GetAt(i);
        AppendIndented(sink, L"\"");
        sink.Put(pElem->key.c_str());
        sink.Put(L"\" : ");
        PutValue(pElem->value.get(), sink);
        if (i + 1 < nCount)
            sink.Put(L",");
        sink.Put(L"\r\n");
    }
    m_nIndent--;
    AppendIndented(sink, L"}\r\n");
}

void JsonFile::PutArray(const JsonArrayT* pArr, JsonTextSink& sink)
{
    sink.Put(L"[");
    m_nIndent++;
    int nCount = pArr->GetSize();
    for (int i = 0; i < nCount; i++)
    {
        PutValue((*pArr)[i].get(), sink);
        if (i + 1 < nCount)
            AppendIndented(sink, L",");
    }
    m_nIndent--;
    AppendIndented(sink, L"]\r\n");
}

void JsonFile::PutValue(const JsonValueT* pValue, JsonTextSink& sink)
{
    if (pValue == nullptr)
        return;
    switch (pValue->m_nType)
    {
    case JT_LITERAL:
        sink.Put(pValue->m_str.c_str());
        sink.Put(L" ");
        break;
    case JT_STRING:
        sink.Put(L"\"");
        sink.Put(pValue->m_str.c_str());
        sink.Put(L"\" ");
        break;
    case JT_ARRAY:
        if (pValue->GetArray() != nullptr)
            PutArray(pValue->GetArray(), sink);
        break;
    case JT_OBJECT:
        if (pValue->GetObj() != nullptr)
            PutObject(pValue->GetObj(), sink);
        break;
    default:
        break;
    }
}

namespace
{
// Out of memory is the only way to fail: the caller must not store a cut document.
int AppendSink(const JsonTextSink& sink, VString& out)
{
    if (sink.bFailed)
        return -3;
    int nBefore = out.GetLength();
    out.Cat(sink.buf.c_str());
    return out.GetLength() == nBefore + sink.nLen ? 1 : -3;
}
} // namespace

int JsonFile::WriteObject(const JsonObjectT* pObj, VString& out)
{
    JsonTextSink sink;
    PutObject(pObj, sink);
    return AppendSink(sink, out);
}

int JsonFile::WriteArray(const JsonArrayT* pArr, VString& out)
{
    JsonTextSink sink;
    PutArray(pArr, sink);
    return AppendSink(sink, out);
}

int JsonFile::WriteValue(const JsonValueT* pValue, VString& out)
{
    JsonTextSink sink;
    PutValue(pValue, sink);
    return AppendSink(sink, out);
}
