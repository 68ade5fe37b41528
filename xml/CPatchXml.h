#pragma once
#include <windows.h>
#include <msxml2.h>

#include "common/GpComHandles.h"
#include "common/VString.h"

// Values of the "ProductInfo" element of "PatchConfig.xml".
struct PatchProductInfo
{
    VString Pid;
    VString Version;
    VString RangeBegin;
    VString RangeEnd;
    int ApplicableCondition = 1;
};

// Values of the "PatchInfo" element: the inner archive's digest text and exact size.
struct PatchFileInfo
{
    VString Digest;
    int Size = 0;
};

// Reader of a patch's "PatchConfig.xml" through the platform's XML document object.
// The calling thread must have initialised COM.
class CPatchXml
{
public:
    CPatchXml() = default;
    CPatchXml(const CPatchXml&) = delete;
    CPatchXml& operator=(const CPatchXml&) = delete;
    virtual ~CPatchXml();

    virtual BOOL Load(const wchar_t* pszPath);
    virtual BOOL Parse();
    virtual void Close();
    // Each fills the fields of one element; they raise CXmlComError when the element, an interface
    // pointer or room for an attribute value is missing.
    virtual void ReadConfigInfo(IXMLDOMElement* pRoot);
    virtual void ReadProductInfo(IXMLDOMElement* pRoot);
    virtual void ReadPatchInfo(IXMLDOMElement* pRoot);

    PatchProductInfo GetProductInfo() const { return m_product; }
    PatchFileInfo GetPatchFileInfo() const { return m_patchFile; }
    int GetConfigFileVersion() const { return m_nConfigFileVersion; }
    const wchar_t* GetXmlPath() const { return m_strXmlPath; }

private:
    int m_nConfigFileVersion = 0;
    PatchProductInfo m_product;
    PatchFileInfo m_patchFile;
    VString m_strXmlPath;
    GpComPtr<IXMLDOMDocument> m_pDoc;
    GpComPtr<IXMLDOMElement> m_pRoot;
};
