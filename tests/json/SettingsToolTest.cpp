#include <gtest/gtest.h>

#include "tests/json/JsonTestUtil.h"
#include "tests/support/TestUtil.h"

using namespace jsontest;
using lumotest::BinPath;
using lumotest::Quote;
using lumotest::ReadFileBytes;
using lumotest::RunProcess;
using lumotest::TempDir;

namespace
{
const wchar_t CLIENT_TEXT[] =
    L"{ \"Server\": \"qv.example\", \"DeleteFiles\": true, \"Cache\": {\"Days\": 7} }";

class SettingsToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_file = m_dir / L"ServerSetting.cfg";
        ASSERT_TRUE(WriteEncryptedText(m_file, CLIENT_TEXT));
    }

    DWORD Run(const std::wstring& args)
    {
        lumotest::ProcessResult r = RunProcess(Quote(BinPath(L"QvSettingsTool.exe")) + L" " + args);
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        return r.exitCode;
    }

    std::wstring Model()
    {
        JsonFile doc;
        EXPECT_EQ(1, doc.Load(m_file.c_str()));
        return Dump(doc.m_root);
    }

    TempDir m_dir;
    std::wstring m_file;
};
} // namespace

TEST_F(SettingsToolTest, ShowPrintsTheDecryptedTextAsStored)
{
    std::wstring out = m_dir / L"out.txt";
    RunProcess(L"cmd.exe /c \"" + Quote(BinPath(L"QvSettingsTool.exe")) + L" show " + Quote(m_file) + L" > " +
               Quote(out) + L"\"");
    EXPECT_EQ(lumotest::ToUtf8(CLIENT_TEXT), ReadFileBytes(out));
    EXPECT_EQ(0u, Run(L"show " + Quote(m_file)));
    EXPECT_EQ(2u, Run(L"show " + Quote(m_dir / L"missing.cfg")));
}

TEST_F(SettingsToolTest, SetChangesOneMemberAndWritesTheFileEncrypted)
{
    struct Case
    {
        const wchar_t* args;
        DWORD exitCode;
        const wchar_t* model; // afterwards
    } cases[] = {
        {L"DeleteFiles false", 0, L"{Server:\"qv.example\",DeleteFiles:false,Cache:{Days:7}}"},
        {L"Cache.Days 30", 0, L"{Server:\"qv.example\",DeleteFiles:true,Cache:{Days:30}}"},
        {L"Retry -1.5e+3", 0, L"{Server:\"qv.example\",DeleteFiles:true,Cache:{Days:7},Retry:-1.5e+3}"},
        {L"DeleteFiles False", 3, nullptr},
        {L"DeleteFiles 1,5", 3, nullptr},
        {L"Cache false", 3, nullptr},
        {L"Cache.Missing 1", 3, nullptr},
        {L"NewName yes", 3, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.args);
        ASSERT_TRUE(WriteEncryptedText(m_file, CLIENT_TEXT));
        std::string before = ReadFileBytes(m_file);
        EXPECT_EQ(c.exitCode, Run(L"set " + Quote(m_file) + L" " + c.args));
        if (c.model)
        {
            EXPECT_EQ(c.model, Model());
        }
        else
        {
            EXPECT_EQ(before, ReadFileBytes(m_file));
        }
    }
}

TEST_F(SettingsToolTest, BadCommandLinesAndUnreadableFiles)
{
    EXPECT_EQ(1u, Run(L""));
    EXPECT_EQ(1u, Run(L"set " + Quote(m_file) + L" DeleteFiles"));
    EXPECT_EQ(1u, Run(L"dump " + Quote(m_file)));
    EXPECT_EQ(2u, Run(L"set " + Quote(m_dir / L"missing.cfg") + L" DeleteFiles false"));
    EXPECT_FALSE(lumotest::FileExists(m_dir / L"missing.cfg"));
}

TEST_F(SettingsToolTest, NewWritesAnEncryptedFileTheUpdaterReads)
{
    std::wstring file = m_dir / L"fresh.cfg";
    EXPECT_EQ(0u,
              Run(L"new " + Quote(file) + L" \"{\\\"DeleteFiles\\\": true, \\\"Server\\\": \\\"qv\\\"}\""));
    JsonFile doc;
    ASSERT_EQ(1, doc.Load(file.c_str()));
    EXPECT_TRUE(doc.IsEncrypted());
    EXPECT_EQ(L"{DeleteFiles:true,Server:\"qv\"}", Dump(doc.m_root));
    // Text that is no JSON object writes nothing.
    std::wstring refused = m_dir / L"refused.cfg";
    EXPECT_EQ(3u, Run(L"new " + Quote(refused) + L" plain"));
    EXPECT_EQ(3u, Run(L"new " + Quote(refused) + L" \"{\\\"a\\\": }\""));
    EXPECT_FALSE(lumotest::FileExists(refused));
}
