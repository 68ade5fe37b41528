#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"
#include "xml/CPatchXml.h"
#include "common/GpComHandles.h"

using namespace lumotest;

namespace
{
// COM for the test thread, as the agent has it when it reads the configuration.
class PatchXmlTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_com.Entered()); }

    std::wstring Write(const std::wstring& name, const std::string& utf8)
    {
        std::wstring path = m_dir / name;
        EXPECT_TRUE(WriteFileBytes(path, utf8));
        return path;
    }

    GpComApartment m_com; // first in, last out
    TempDir m_dir;
};

const char* const FULL_CONFIG = R"(<?xml version="1.0" encoding="UTF-8"?>
<AnyNameAtAll>
  <ConfigInfo ConfigFileVersion="3"/>
  <ProductInfo Pid="QVC-64" Version="6.72.0.1" RangeBegin="6.60.0.0" RangeEnd="6.71.9.9" ApplicableCondition="2"/>
  <PatchInfo X86CommonZipFileDigest="A9993E364706816ABA3E25717850C26C9CD0D89D" X86CommonZipFileSize="4096"/>
</AnyNameAtAll>
)";

std::string ConfigWith(const std::string& body)
{
    return "<?xml version=\"1.0\"?>\n<Patch>\n" + body + "\n</Patch>\n";
}
} // namespace

TEST_F(PatchXmlTest, RootOfAnyNameYieldsEveryValue)
{
    CPatchXml xml;
    ASSERT_TRUE(xml.Load(Write(L"PatchConfig.xml", FULL_CONFIG).c_str()));
    ASSERT_TRUE(xml.Parse());
    EXPECT_EQ(3, xml.GetConfigFileVersion());
    PatchProductInfo product = xml.GetProductInfo();
    EXPECT_STREQ(L"QVC-64", product.Pid);
    EXPECT_STREQ(L"6.72.0.1", product.Version);
    EXPECT_STREQ(L"6.60.0.0", product.RangeBegin);
    EXPECT_STREQ(L"6.71.9.9", product.RangeEnd);
    EXPECT_EQ(2, product.ApplicableCondition);
    PatchFileInfo file = xml.GetPatchFileInfo();
    EXPECT_STREQ(L"A9993E364706816ABA3E25717850C26C9CD0D89D", file.Digest);
    EXPECT_EQ(4096, file.Size);
}

TEST_F(PatchXmlTest, NestedFirstProductInfoWinsOverLaterOne)
{
    std::string doc = ConfigWith(R"(<ConfigInfo ConfigFileVersion="1"/>
<Group><Inner><ProductInfo Pid="nested" Version="1.0"/></Inner></Group>
<ProductInfo Pid="second" Version="2.0"/>
<PatchInfo X86CommonZipFileDigest="00" X86CommonZipFileSize="1"/>)");
    CPatchXml xml;
    ASSERT_TRUE(xml.Load(Write(L"c.xml", doc).c_str()));
    ASSERT_TRUE(xml.Parse());
    EXPECT_STREQ(L"nested", xml.GetProductInfo().Pid);
    EXPECT_STREQ(L"1.0", xml.GetProductInfo().Version);
}

TEST_F(PatchXmlTest, MissingElementFailsParseKeepingWhatWasRead)
{
    struct Case
    {
        std::string doc;
        int configVersionAfter;
        const wchar_t* pidAfter;
    };
    const Case cases[] = {
        // ConfigInfo and ProductInfo are read before PatchInfo is found missing.
        {ConfigWith(R"(<ConfigInfo ConfigFileVersion="7"/><ProductInfo Pid="p" Version="v"/>)"), 7, L"p"},
        {ConfigWith(R"(<ProductInfo Pid="p" Version="v"/><PatchInfo X86CommonZipFileSize="1"/>)"), 0, L""},
        {ConfigWith(R"(<ConfigInfo ConfigFileVersion="7"/><PatchInfo X86CommonZipFileSize="1"/>)"), 7, L""},
        // Names match with their case.
        {ConfigWith(R"(<ConfigInfo/><productinfo Pid="p"/><PatchInfo/>)"), 0, L""},
        // The root is not one of its own descendants.
        {R"(<ProductInfo Pid="root"><ConfigInfo/><PatchInfo/></ProductInfo>)", 0, L""},
    };
    for (const Case& c : cases)
    {
        CPatchXml xml;
        ASSERT_TRUE(xml.Load(Write(L"c.xml", c.doc).c_str())) << c.doc;
        EXPECT_FALSE(xml.Parse()) << c.doc;
        EXPECT_EQ(c.configVersionAfter, xml.GetConfigFileVersion()) << c.doc;
        EXPECT_STREQ(c.pidAfter, xml.GetProductInfo().Pid) << c.doc;
    }
}

TEST_F(PatchXmlTest, ExternalDtdIsNeitherFetchedNorValidated)
{
    // Fetched, this DTD would supply a default Pid; validated, the document breaks its rules.
    Write(L"patch.dtd", "<!ELEMENT Patch EMPTY>\n<!ATTLIST ProductInfo Pid CDATA \"from-dtd\">\n");
    std::string valid = "<?xml version=\"1.0\"?>\n<!DOCTYPE Patch SYSTEM \"patch.dtd\">\n<Patch>"
                        "<ConfigInfo/><ProductInfo Version=\"1\"/><PatchInfo/></Patch>\n";
    CPatchXml xml;
    ASSERT_TRUE(xml.Load(Write(L"dtd.xml", valid).c_str()));
    ASSERT_TRUE(xml.Parse());
    EXPECT_STREQ(L"", xml.GetProductInfo().Pid);

    // A DTD that is not even well-formed does not matter when it is never read.
    Write(L"broken.dtd", "<!ELEMENT this is not a declaration");
    std::string broken = "<?xml version=\"1.0\"?>\n<!DOCTYPE Patch SYSTEM \"broken.dtd\">\n<Patch>"
                         "<ConfigInfo/><ProductInfo Pid=\"p\" Version=\"1\"/><PatchInfo/></Patch>\n";
    ASSERT_TRUE(xml.Load(Write(L"broken.xml", broken).c_str()));
    ASSERT_TRUE(xml.Parse());
    EXPECT_STREQ(L"p", xml.GetProductInfo().Pid);
}

TEST_F(PatchXmlTest, AbsentAttributesAndChildElementsReadAsEmptyAndZero)
{
    std::string doc = ConfigWith(R"(<ConfigInfo><ConfigFileVersion>5</ConfigFileVersion></ConfigInfo>
<ProductInfo><Pid>child</Pid><Version>1.0</Version></ProductInfo>
<PatchInfo><X86CommonZipFileSize>10</X86CommonZipFileSize></PatchInfo>)");
    CPatchXml xml;
    ASSERT_TRUE(xml.Load(Write(L"c.xml", doc).c_str()));
    ASSERT_TRUE(xml.Parse());
    EXPECT_EQ(0, xml.GetConfigFileVersion());
    EXPECT_STREQ(L"", xml.GetProductInfo().Pid);
    EXPECT_STREQ(L"", xml.GetProductInfo().Version);
    EXPECT_EQ(0, xml.GetProductInfo().ApplicableCondition);
    EXPECT_STREQ(L"", xml.GetPatchFileInfo().Digest);
    EXPECT_EQ(0, xml.GetPatchFileInfo().Size);
}

TEST_F(PatchXmlTest, IntegersReadLikeTheRuntime)
{
    struct Case
    {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"", 0},
        {"123abc", 123},
        {"  +42", 42},
        {"-7", -7},
        {"abc", 0},
        {"2147483647", INT_MAX},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const Case& c : cases)
    {
        std::string doc = ConfigWith(std::string("<ConfigInfo/><ProductInfo ApplicableCondition=\"") +
                                     c.text + "\"/><PatchInfo X86CommonZipFileSize=\"" + c.text + "\"/>");
        CPatchXml xml;
        ASSERT_TRUE(xml.Load(Write(L"c.xml", doc).c_str())) << c.text;
        ASSERT_TRUE(xml.Parse()) << c.text;
        EXPECT_EQ(c.value, xml.GetPatchFileInfo().Size) << c.text;
        EXPECT_EQ(c.value, xml.GetProductInfo().ApplicableCondition) << c.text;
    }
}

TEST_F(PatchXmlTest, ValueLongerThanItsBufferFailsParse)
{
    struct Case
    {
        std::string attributes; // of ConfigInfo, then of ProductInfo
        bool parses;
    };
    const Case cases[] = {
        {"ConfigFileVersion=\"00000000012\"|Pid=\"" + std::string(259, 'p') + "\"", true},
        {"ConfigFileVersion=\"000000000012\"|Pid=\"p\"", false},
        {"|Pid=\"" + std::string(260, 'p') + "\"", false},
        {"|Version=\"" + std::string(1000, 'v') + "\"", false},
    };
    for (const Case& c : cases)
    {
        size_t bar = c.attributes.find('|');
        std::string doc = ConfigWith("<ConfigInfo " + c.attributes.substr(0, bar) + "/><ProductInfo " +
                                     c.attributes.substr(bar + 1) + "/><PatchInfo/>");
        CPatchXml xml;
        ASSERT_TRUE(xml.Load(Write(L"c.xml", doc).c_str()));
        EXPECT_EQ(c.parses, xml.Parse() != FALSE) << c.attributes.substr(0, 60);
        if (c.parses)
        {
            EXPECT_EQ(12, xml.GetConfigFileVersion());
            EXPECT_EQ(259, xml.GetProductInfo().Pid.GetLength());
        }
    }
}

TEST_F(PatchXmlTest, EncodingsTheParserAcceptsAreRead)
{
    std::wstring pid = L"製品\u3000ＩＤ";
    std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><R><ConfigInfo/><ProductInfo Pid=\"" +
                       ToUtf8(pid) + "\" Version=\"1\"/><PatchInfo/></R>";
    std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><R><ConfigInfo/><ProductInfo Pid=\"" +
                        pid + L"\" Version=\"1\"/><PatchInfo/></R>";
    std::string utf16("\xFF\xFE", 2);
    utf16.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    for (const std::string& doc : {utf8, utf16})
    {
        CPatchXml xml;
        ASSERT_TRUE(xml.Load(Write(L"enc.xml", doc).c_str()));
        ASSERT_TRUE(xml.Parse());
        EXPECT_EQ(pid, std::wstring(xml.GetProductInfo().Pid));
    }
}

TEST_F(PatchXmlTest, UnreadableDocumentFailsLoadWithItsTraceLine)
{
    TraceCapture capture;
    std::wstring missing = m_dir / L"absent.xml";
    std::wstring broken = Write(L"broken.xml", "<Patch><ConfigInfo></Patch>");
    for (const std::wstring& path : {missing, broken})
    {
        CPatchXml xml;
        EXPECT_FALSE(xml.Load(path.c_str()));
        EXPECT_FALSE(xml.Parse()); // nothing loaded
        EXPECT_TRUE(capture.WaitFor(L"[CPatchXml::Load] load(" + path + L") err[")) << path;
    }
    // A failed load empties an object that held a document; a later load starts afresh.
    CPatchXml xml;
    std::wstring good = Write(L"good.xml", FULL_CONFIG);
    ASSERT_TRUE(xml.Load(good.c_str()));
    EXPECT_FALSE(xml.Load(broken.c_str()));
    EXPECT_FALSE(xml.Parse());
    ASSERT_TRUE(xml.Load(good.c_str()));
    EXPECT_TRUE(xml.Parse());
    EXPECT_STREQ(good.c_str(), xml.GetXmlPath());
}

TEST(PatchXmlNoCom, LoadWithoutComFailsWithTheCreationTrace)
{
    TraceCapture capture;
    CPatchXml xml;
    EXPECT_FALSE(xml.Load(L"C:\\none.xml"));
    // Without COM the first creation already fails: the COM error path with the system's text.
    EXPECT_TRUE(capture.WaitFor(L"[CPatchXml::Load] exception 800401F0\n: "));
}
