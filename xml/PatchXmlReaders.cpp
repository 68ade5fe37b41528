// The three element readers of CPatchXml and the two lookups they share.
#include "xml/CPatchXml.h"

#include <wchar.h>

#include "xml/XmlComError.h"
#include "xml/XmlInt.h"

namespace
{
constexpr size_t CCH_VERSION_ATTR = 12; // "ConfigFileVersion": 11 characters and the terminator
constexpr size_t CCH_ATTR = 260;

// The first descendant of the root with the tag name, in document order.
GpComPtr<IXMLDOMNode> FindElement(IXMLDOMElement* pRoot, const wchar_t* pszTag)
{
    if (pRoot == nullptr)
        XmlRaise(E_POINTER);
    GpBstr tag(pszTag);
    if (!tag)
        XmlRaise(E_OUTOFMEMORY);
    GpComPtr<IXMLDOMNodeList> list;
    XmlCheck(pRoot->getElementsByTagName(tag.Get(), list.Put()));
    if (!list)
        XmlRaise(E_POINTER);
    GpComPtr<IXMLDOMNode> node;
    XmlCheck(list->get_item(0, node.Put()));
    if (!node)
        XmlRaise(E_POINTER);
    return node;
}

// Copies the attribute's value into pBuf (cchBuf characters with the terminator); an absent
// attribute gives "". A value that does not fit is refused rather than cut: the document then
// fails as a whole instead of being read with a shortened product id or digest.
void ReadAttribute(IXMLDOMNode* pElement, const wchar_t* pszName, wchar_t* pBuf, size_t cchBuf)
{
    pBuf[0] = L'\0';
    GpComPtr<IXMLDOMNamedNodeMap> attributes;
    XmlCheck(pElement->get_attributes(attributes.Put()));
    if (!attributes)
        XmlRaise(E_POINTER);
    GpBstr name(pszName);
    if (!name)
        XmlRaise(E_OUTOFMEMORY);
    GpComPtr<IXMLDOMNode> attribute;
    XmlCheck(attributes->getNamedItem(name.Get(), attribute.Put()));
    if (!attribute)
        return;
    GpVariant value;
    XmlCheck(attribute->get_nodeValue(value.Put()));
    if (value.Get().vt != VT_BSTR)
        XmlCheck(VariantChangeType(&value.Get(), &value.Get(), 0, VT_BSTR));
    const wchar_t* pszValue = value.Get().bstrVal != nullptr ? value.Get().bstrVal : L"";
    size_t cch = wcslen(pszValue);
    if (cch >= cchBuf)
        XmlRaise(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    wmemcpy(pBuf, pszValue, cch + 1);
}

int IntOrZero(const wchar_t* psz)
{
    return psz[0] == L'\0' ? 0 : XmlToInt(psz);
}
} // namespace

void CPatchXml::ReadConfigInfo(IXMLDOMElement* pRoot)
{
    GpComPtr<IXMLDOMNode> element = FindElement(pRoot, L"ConfigInfo");
    wchar_t szValue[CCH_VERSION_ATTR];
    ReadAttribute(element.Get(), L"ConfigFileVersion", szValue, CCH_VERSION_ATTR);
    m_nConfigFileVersion = XmlToInt(szValue);
}

void CPatchXml::ReadProductInfo(IXMLDOMElement* pRoot)
{
    GpComPtr<IXMLDOMNode> element = FindElement(pRoot, L"ProductInfo");
    wchar_t szValue[CCH_ATTR];
    ReadAttribute(element.Get(), L"Pid", szValue, CCH_ATTR);
    m_product.Pid = szValue;
    ReadAttribute(element.Get(), L"Version", szValue, CCH_ATTR);
    m_product.Version = szValue;
    ReadAttribute(element.Get(), L"RangeBegin", szValue, CCH_ATTR);
    m_product.RangeBegin = szValue;
    ReadAttribute(element.Get(), L"RangeEnd", szValue, CCH_ATTR);
    m_product.RangeEnd = szValue;
    ReadAttribute(element.Get(), L"ApplicableCondition", szValue, CCH_ATTR);
    m_product.ApplicableCondition = IntOrZero(szValue);
}

void CPatchXml::ReadPatchInfo(IXMLDOMElement* pRoot)
{
    GpComPtr<IXMLDOMNode> element = FindElement(pRoot, L"PatchInfo");
    wchar_t szValue[CCH_ATTR];
    ReadAttribute(element.Get(), L"X86CommonZipFileDigest", szValue, CCH_ATTR);
    m_patchFile.Digest = szValue;
    ReadAttribute(element.Get(), L"X86CommonZipFileSize", szValue, CCH_ATTR);
    m_patchFile.Size = IntOrZero(szValue);
}
