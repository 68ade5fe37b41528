#include "tools/PatchBuilder/BuilderText.h"
#include "tools/PatchBuilder/PatchBuild.h"

std::string MakePatchConfig(const PatchBuildOptions& options, const std::wstring& digestText,
                            const std::wstring& sizeText)
{
    std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                        L"<PatchConfig>\r\n"
                        L"  <ConfigInfo ConfigFileVersion=\"1\"/>\r\n"
                        L"  <ProductInfo Pid=\"" +
                        XmlAttributeText(options.pid) + L"\" Version=\"" + XmlAttributeText(options.version) +
                        L"\" RangeBegin=\"" + XmlAttributeText(options.rangeBegin) + L"\" RangeEnd=\"" +
                        XmlAttributeText(options.rangeEnd) +
                        L"\" ApplicableCondition=\"1\"/>\r\n"
                        L"  <PatchInfo X86CommonZipFileDigest=\"" +
                        XmlAttributeText(digestText) + L"\" X86CommonZipFileSize=\"" +
                        XmlAttributeText(sizeText) +
                        L"\"/>\r\n"
                        L"</PatchConfig>\r\n";
    return BuilderUtf8(text);
}
