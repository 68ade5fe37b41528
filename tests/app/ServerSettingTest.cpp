// The settings step against the real location in the test prefix's common application-data folder.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "tests/app/CommandLineApp.h"
#include "tests/json/JsonTestUtil.h"
#include "tests/support/TestUtil.h"

using namespace jsontest;
using lumotest::ReadFileBytes;
using lumotest::WriteFileBytes;

namespace
{
const wchar_t FN_TRACE[] = L"[LumoAgentApp::UpdateServerSetting] ";

std::wstring SettingsDir()
{
    wchar_t sz[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, sz);
    return std::wstring(sz) + L"\\TAVR\\QVC\\System";
}

class ServerSettingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SHCreateDirectoryExW(nullptr, SettingsDir().c_str(), nullptr);
        m_path = SettingsDir() + L"\\ServerSetting.cfg";
        DeleteFileW(m_path.c_str());
    }
    void TearDown() override { DeleteFileW(m_path.c_str()); }

    // The client's file: its own layout, encrypted as JsonFile reads it.
    void WriteSettings(const std::wstring& text) { ASSERT_TRUE(WriteEncryptedText(m_path, text)); }

    std::vector<std::wstring> RunStep(BOOL bLeaveCache)
    {
        lumotest::CommandLineApp app(bLeaveCache ? L"/Agent /sn /LeaveCache" : L"/Agent /sn");
        std::vector<std::wstring> traces = Traced([&] { app.UpdateServerSetting(); });
        EXPECT_EQ(0, app.m_nExitCode);
        EXPECT_EQ(0, app.m_nExtInfo);
        return traces;
    }

    std::wstring m_path;
};
} // namespace

TEST_F(ServerSettingTest, LeaveCacheTurnsDeleteFilesFalse)
{
    for (const wchar_t* before : {L"true", L"false", L"1"})
    {
        SCOPED_TRACE(before);
        WriteSettings(L"{\"Server\":\"qv.example\",\"DeleteFiles\":" + std::wstring(before) +
                      L",\"Cache\":{\"Days\":7}}");
        std::vector<std::wstring> traces = RunStep(TRUE);
        EXPECT_EQ((std::vector<std::wstring>{std::wstring(FN_TRACE) + L"set deletefiles Route.",
                                             std::wstring(FN_TRACE) + L"set deletefiles ret[1]"}),
                  traces);
        // Rewritten in the writer's layout, even when it already held false.
        JsonFile expected;
        ASSERT_GE(expected.Parse(L"{\"Server\":\"qv.example\",\"DeleteFiles\":false,\"Cache\":{\"Days\":7}}"),
                  0);
        EXPECT_EQ(WriteText(expected), DecryptedText(m_path));
    }
}

TEST_F(ServerSettingTest, FilesWithoutASettableMemberStayAsTheyWere)
{
    struct Case
    {
        const wchar_t* text;
        int ret;
    } cases[] = {
        {L"{\"Server\":\"qv.example\"}", -1},
        {L"{\"deletefiles\":true}", -1},
        {L"{\"DeleteFiles\":{\"a\":true}}", -2},
        {L"{\"DeleteFiles\":[true]}", -2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        WriteSettings(c.text);
        std::string bytesBefore = ReadFileBytes(m_path);
        std::vector<std::wstring> traces = RunStep(TRUE);
        EXPECT_EQ(bytesBefore, ReadFileBytes(m_path));
        EXPECT_TRUE(AnyContains(traces, std::wstring(FN_TRACE) + L"set deletefiles ret[" +
                                            std::to_wstring(c.ret) + L"]"));
    }
}

TEST_F(ServerSettingTest, UnreadableFilesAreOnlyTraced)
{
    struct Case
    {
        const char* name;
        std::string bytes; // empty: no file at all
        const wchar_t* trace;
    } cases[] = {
        {"missing", "", L"[JsonFile::Load] ！Opn("},
        {"plain text", std::string("\xFF\xFE{\0\"\0a\0\"\0:\0\x31\0}\0", 16),
         L"[JsonFile::Read] ！m_ef.Read("},
        {"garbage", std::string(100, '\x5A'), L"[JsonFile::Read] ！m_ef.Read("},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        DeleteFileW(m_path.c_str());
        if (!c.bytes.empty())
        {
            ASSERT_TRUE(WriteFileBytes(m_path, c.bytes));
        }
        std::vector<std::wstring> traces = RunStep(TRUE);
        EXPECT_TRUE(AnyContains(traces, c.trace));
        EXPECT_FALSE(AnyContains(traces, L"set deletefiles ret["));
        if (c.bytes.empty())
        {
            EXPECT_FALSE(lumotest::FileExists(m_path));
        }
        else
        {
            EXPECT_EQ(c.bytes, ReadFileBytes(m_path));
        }
    }
}

TEST_F(ServerSettingTest, WithoutLeaveCacheTheFileIsNotOpened)
{
    WriteSettings(L"{\"DeleteFiles\":true}");
    std::string bytesBefore = ReadFileBytes(m_path);
    // Held without sharing: an attempt to open it would wait and trace.
    GpFile held(CreateFileW(m_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, held.Get());
    std::vector<std::wstring> traces = RunStep(FALSE);
    held.Reset();
    EXPECT_TRUE(traces.empty());
    EXPECT_EQ(bytesBefore, ReadFileBytes(m_path));
}

// Array growth throws on an exhausted heap; the step catches it, whenever it comes, and the agent
// goes on with the file untouched.
TEST_F(ServerSettingTest, ExhaustedHeapLeavesTheFileAndTheUpdateAlone)
{
    const std::wstring text = L"{\"Server\":\"qv.example\",\"List\":[1,2,3],\"DeleteFiles\":true,"
                              L"\"Cache\":{\"Days\":7,\"Kinds\":[\"a\",\"b\"]}}";
    for (int nFailAt : {1, 2, 5})
    {
        SCOPED_TRACE(nFailAt);
        WriteSettings(text);
        std::string bytesBefore = ReadFileBytes(m_path);
        int nGrowths = 0;
        GpSeam().ArrayGrowthFailsFn = [&] { return ++nGrowths >= nFailAt; };
        std::vector<std::wstring> traces;
        EXPECT_NO_THROW(traces = RunStep(TRUE));
        GpSeamsReset();
        EXPECT_GE(nGrowths, nFailAt);
        EXPECT_TRUE(AnyContains(traces, std::wstring(FN_TRACE) + L"！メモリ不足"));
        EXPECT_FALSE(AnyContains(traces, L"set deletefiles ret["));
        EXPECT_EQ(bytesBefore, ReadFileBytes(m_path));
    }
}
