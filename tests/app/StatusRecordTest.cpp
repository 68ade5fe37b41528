// The status record in LumoAgent.ini, in process: it replaces the file in one step, so other
// products' records survive, and copies left by a stopped agent go.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

namespace
{
std::wstring SystemDir()
{
    wchar_t appData[MAX_PATH];
    SHGetSpecialFolderPathW(nullptr, appData, CSIDL_COMMON_APPDATA, FALSE);
    return std::wstring(appData) + L"\\TAVR\\QVC\\System";
}

std::wstring Value(const std::wstring& ini, const wchar_t* section, const wchar_t* key)
{
    wchar_t value[512];
    GetPrivateProfileStringW(section, key, L"<missing>", value, 512, ini.c_str());
    return value;
}

int CopiesBeside(const std::wstring& ini)
{
    int n = 0;
    WIN32_FIND_DATAW fd;
    GpFind find(FindFirstFileW((ini + L".~*").c_str(), &fd));
    if (find)
        do
            n++;
        while (FindNextFileW(find.Get(), &fd));
    return n;
}
} // namespace

TEST(StatusRecord, RecordsReplaceTheFileWholeAndStaleCopiesGo)
{
    std::wstring dir = SystemDir();
    SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    std::wstring ini = dir + L"\\LumoAgent.ini";
    DeleteFileW(ini.c_str());
    WritePrivateProfileStringW(L"QVC-OTHER", L"CurrentVersion", L"1.0.0.0", ini.c_str());
    // What an agent stopped in the middle of its record leaves: a cut copy.
    ASSERT_TRUE(WriteFileBytes(ini + L".~1A2B.tmp", "[QVC-OTH"));

    TraceCapture capture;
    LumoAgentApp app;
    app.m_strProduct = L"QVC-T";
    app.m_strVersion = L"6.70.0.1";
    app.WriteUpdateStatus(3);
    EXPECT_EQ(L"6.70.0.1", Value(ini, L"QVC-T", L"CurrentVersion"));
    EXPECT_EQ(L"3", Value(ini, L"QVC-T", L"UpdateStatus"));
    EXPECT_EQ(L"", Value(ini, L"QVC-T", L"SupportInfo"));
    EXPECT_NE(L"<missing>", Value(ini, L"QVC-T", L"CurrentEntryDate"));
    EXPECT_EQ(L"1.0.0.0", Value(ini, L"QVC-OTHER", L"CurrentVersion"));
    EXPECT_EQ(0, CopiesBeside(ini));
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::WriteUpdateStatus] succes log ver[6.70.0.1], status[3]"));

    app.WriteUpdateStatus(103);
    EXPECT_EQ(L"103", Value(ini, L"QVC-T", L"UpdateStatus"));
    EXPECT_EQ(L"0", Value(ini, L"QVC-T", L"UpdateType"));
    EXPECT_EQ(L"err:[103] module:[KVUpdate.exe]", Value(ini, L"QVC-T", L"SupportInfo"));
    EXPECT_EQ(L"6.70.0.1", Value(ini, L"QVC-T", L"CurrentVersion")) << "a failure keeps the last success";
    EXPECT_EQ(L"1.0.0.0", Value(ini, L"QVC-OTHER", L"CurrentVersion"));
    EXPECT_EQ(0, CopiesBeside(ini));
    // A new file is still the writer's own form: a section line, then key=value lines.
    std::string text = ReadFileBytes(ini);
    EXPECT_NE(std::string::npos, text.find("[QVC-T]\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("UpdateStatus=103\r\n")) << text;
    DeleteFileW(ini.c_str());

    // Without an existing file the record makes one.
    app.WriteUpdateStatus(3);
    EXPECT_EQ(L"3", Value(ini, L"QVC-T", L"UpdateStatus"));
    EXPECT_EQ(0, CopiesBeside(ini));
    DeleteFileW(ini.c_str());
}
