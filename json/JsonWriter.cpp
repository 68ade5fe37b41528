// The writer's one fixed layout (tabs, a blank after every scalar, CRLF line ends), which the
// parser reads back. Names and strings are written exactly as held: nothing is escaped.
#include "common/VString.h"
#include "json/JsonFile.h"

void JsonFile::AppendIndented(VString& out, const wchar_t* pszText)
{
    for (int i = 0; i < m_nIndent; i++)
        out.Cat(L"\t");
    out.Cat(pszText);
}

int JsonFile::WriteObject(const JsonObjectT* pObj, VString& out)
{
    AppendIndented(out, L"\r\n");
    AppendIndented(out, L"{\r\n");
    m_nIndent++;
    int nCount = pObj->GetCount();
    for (int i = 0; i < nCount; i++)
    {
        const JsonEelementT* pElem = pObj->GetAt(i);
        VString name(L"\"");
        name.Cat(pElem->key.c_str());
        name.Cat(L"\" : ");
        AppendIndented(out, name.c_str());
        WriteValue(pElem->value, out);
        if (i + 1 < nCount)
            out.Cat(L",");
        out.Cat(L"\r\n");
    }
    m_nIndent--;
    AppendIndented(out, L"}\r\n");
    return 1;
}

int JsonFile::WriteArray(const JsonArrayT* pArr, VString& out)
{
    out.Cat(L"[");
    m_nIndent++;
    int nCount = pArr->GetSize();
    for (int i = 0; i < nCount; i++)
    {
        WriteValue((*pArr)[i], out);
        if (i + 1 < nCount)
            AppendIndented(out, L",");
    }
    m_nIndent--;
    AppendIndented(out, L"]\r\n");
    return 1;
}

int JsonFile::WriteValue(const JsonValueT* pValue, VString& out)
{
    if (pValue == nullptr)
        return 1;
    switch (pValue->m_nType)
    {
    case JT_LITERAL:
        out.Cat(pValue->m_str.c_str());
        out.Cat(L" ");
        break;
    case JT_STRING:
        out.Cat(L"\"");
        out.Cat(pValue->m_str.c_str());
        out.Cat(L"\" ");
        break;
    case JT_ARRAY:
        if (pValue->GetArray() != nullptr)
            WriteArray(pValue->GetArray(), out);
        break;
    case JT_OBJECT:
        if (pValue->GetObj() != nullptr)
            WriteObject(pValue->GetObj(), out);
        break;
    default:
        break;
    }
    return 1;
}
