// The status record in LumoAgent.ini, in process: it replaces the file in one step, so other
// products' records survive, and copies left by a stopped agent go.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/LumoAgentApp.h"
#include "common/GpHandles.h"
#include "common/GpSeams.h"
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

// Copies of the status file left beside it by a save.
int CopiesBeside(const std::wstring& ini)
{
    return static_cast<int>(ListFiles(ini + L".~*").size());
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

// A reader of the status file (the client) never finds it cut while records are written.
TEST(StatusRecord, AReaderNeverFindsTheFileCut)
{
    std::wstring dir = SystemDir();
    SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    std::wstring ini = dir + L"\\LumoAgent.ini";
    DeleteFileW(ini.c_str());
    WritePrivateProfileStringW(L"QVC-OTHER", L"CurrentVersion", L"1.0.0.0", ini.c_str());
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, cut{0};
    std::thread reader([&] {
        while (!done)
        {
            // A moment where the file cannot be opened is not a cut file.
            GpFile file(CreateFileW(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
            if (!file)
                continue;
            char buf[4096];
            DWORD cb = 0;
            ReadFile(file.Get(), buf, sizeof(buf), &cb, nullptr);
            file.Reset();
            reads++;
            Sleep(1); // a client that polls, not one that holds the file all the time
            if (std::string(buf, cb).find("CurrentVersion=1.0.0.0") == std::string::npos)
                cut++;
        }
    });
    int retries = 0;
    GpSeam().SleepFn = [&](DWORD) {
        retries++;
        Sleep(1);
    };
    LumoAgentApp app;
    app.m_strProduct = L"QVC-T";
    app.m_strVersion = L"6.70.0.1";
    for (int i = 0; i < 100; i++)
        app.WriteUpdateStatus(i % 2 ? 103 : 3);
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(0, cut.load()) << "of " << reads.load() << " reads, " << retries << " replaces retried";
    EXPECT_EQ(L"103", Value(ini, L"QVC-T", L"UpdateStatus"));
    EXPECT_EQ(0, CopiesBeside(ini));
    DeleteFileW(ini.c_str());
}
