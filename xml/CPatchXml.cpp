#include "xml/CPatchXml.h"

#include <ole2.h>

#include <utility>

#include "xml/XmlComError.h"
#include "common/GpTrace.h"

namespace
{
const wchar_t* const LOAD_NAME = L"CPatchXml::Load";

// {2933BF90-7B36-11D2-B20E-00C04F983E60}: the first-generation document class.
const CLSID CLSID_DOMDocumentV1 = {
    0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
// {F6D90F11-9C73-11D3-B32E-00C04F990BB4}: the document class the configuration is read with.
const CLSID CLSID_DOMDocumentV2 = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
// {2933BF81-7B36-11D2-B20E-00C04F983E60}
const IID IID_XmlDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

constexpr DWORD CLSCTX_ALL_SERVERS = 23;

// Created as IUnknown, put into the running state, then asked for the document interface.
HRESULT CreateDocument(REFCLSID clsid, GpComPtr<IXMLDOMDocument>& doc)
{
    GpComPtr<IUnknown> unknown;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL_SERVERS, IID_IUnknown, unknown.PutVoid());
    if (FAILED(hr))
        return hr;
    hr = OleRun(unknown.Get());
    if (FAILED(hr))
        return hr;
    return unknown->QueryInterface(IID_XmlDomDocument, doc.PutVoid());
}
} // namespace

CPatchXml::~CPatchXml()
{
    Close();
}

void CPatchXml::Close()
{
    m_pRoot.Reset();
    m_pDoc.Reset();
}

BOOL CPatchXml::Load(const wchar_t* pszPath)
{
    Close();
    m_strXmlPath = pszPath;
    try
    {
        {
            // Only proves the first-generation class can be made; the document itself is the second.
            GpComPtr<IXMLDOMDocument> first;
            HRESULT hrFirst = CreateDocument(CLSID_DOMDocumentV1, first);
            if (FAILED(hrFirst) && hrFirst != E_NOINTERFACE)
                XmlRaise(hrFirst);
        }
        GpComPtr<IXMLDOMDocument> doc;
        HRESULT hr = CreateDocument(CLSID_DOMDocumentV2, doc);
        if (FAILED(hr))
        {
            GPTRACE(TRACE_FATAL, L"[%s] CreateInstance(CLSID_DOMDocument) err[%x]", LOAD_NAME, hr);
            return FALSE;
        }
        // No network or file access beyond the document itself, and no validation against a DTD.
        doc->put_async(VARIANT_FALSE);
        doc->put_validateOnParse(VARIANT_FALSE);
        doc->put_resolveExternals(VARIANT_FALSE);

        GpVariant path;
        if (!path.SetString(m_strXmlPath))
            XmlRaise(E_OUTOFMEMORY);
        VARIANT_BOOL bSuccess = VARIANT_FALSE;
        hr = doc->load(path.Get(), &bSuccess);
        if (hr == S_OK && bSuccess != VARIANT_FALSE)
        {
            GpComPtr<IXMLDOMElement> root;
            XmlCheck(doc->get_documentElement(root.Put()));
            m_pDoc = std::move(doc);
            m_pRoot = std::move(root);
            return TRUE;
        }
        GPTRACE(TRACE_FATAL, L"[%s] load(%s) err[%x], result[%x]", LOAD_NAME, m_strXmlPath.c_str(), hr,
                static_cast<unsigned int>(static_cast<int>(bSuccess)));
        return FALSE;
    }
    catch (const CXmlComError& e)
    {
        wchar_t szDesc[512];
        GPTRACE(TRACE_FATAL, L"[%s] exception %08X\n: %s", LOAD_NAME, static_cast<unsigned int>(e.Error()),
                e.Description(szDesc, 512));
        return FALSE;
    }
}

BOOL CPatchXml::Parse()
{
    if (!m_pDoc)
        return FALSE;
    try
    {
        ReadConfigInfo(m_pRoot.Get());
        ReadProductInfo(m_pRoot.Get());
        ReadPatchInfo(m_pRoot.Get());
    }
    catch (const CXmlComError&)
    {
        return FALSE;
    }
    return TRUE;
}
