// The status record in LumoAgent.ini, in process: it replaces the file in one step, so other
// products' records survive, and copies left by a stopped agent go.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "app/LumoAgentApp.h"
#include "app/StatusRecord.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "tests/support/FullVolume.h"
#include "tests/support/HostLink.h"
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

// The record replaces its own keys; every other byte of the file stays, whatever its line ends
// and encoding.
TEST(StatusRecord, OtherLinesStayByteForByte)
{
    const StatusKey keys[] = {{L"UpdateType", L"0"}, {L"UpdateStatus", L"103"}, {L"SupportInfo", L"err"}};
    struct Case
    {
        const char* name;
        std::string before, after;
    } cases[] = {
        {"new file", "", "[QVC-T]\r\nUpdateType=0\r\nUpdateStatus=103\r\nSupportInfo=err\r\n"},
        {"new section after a cut last line", "[A]\nk=v",
         "[A]\nk=v\r\n[QVC-T]\r\nUpdateType=0\r\n"
         "UpdateStatus=103\r\nSupportInfo=err\r\n"},
        {"keys replaced in place, one added after the last line of the section",
         "; c\n[A]\nx = 1\n[ qvc-t ]\nSupportInfo=old\n  UPDATESTATUS = 3 \n\n[B]\nUpdateStatus=9\n",
         "; c\n[A]\nx = 1\n[ qvc-t "
         "]\nSupportInfo=err\nUpdateStatus=103\nUpdateType=0\r\n\n[B]\nUpdateStatus=9\n"},
        {"only the first section of the name", "[QVC-T]\r\nUpdateType=5\r\n[QVC-T]\r\nUpdateType=7\r\n",
         "[QVC-T]\r\nUpdateType=0\r\nUpdateStatus=103\r\nSupportInfo=err\r\n[QVC-T]\r\nUpdateType=7\r\n"},
        {"UTF-16 keeps its mark", std::string("\xFF\xFE[\0A\0]\0\r\0\n\0", 12),
         std::string("\xFF\xFE[\0A\0]\0\r\0\n\0", 12) + std::string("[\0Q\0V\0C\0-\0T\0]\0\r\0\n\0", 18)},
        {"bytes that are no text stay", "[A]\r\nk=\x82\xA0\xFF\r\n", "[A]\r\nk=\x82\xA0\xFF\r\n[QVC-T]\r\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        GpHeapBlock out;
        DWORD cb = 0;
        ASSERT_EQ(ERROR_OK, BuildStatusFile(reinterpret_cast<const BYTE*>(c.before.data()),
                                            static_cast<DWORD>(c.before.size()), L"QVC-T", keys, 3, out, cb));
        std::string after(static_cast<const char*>(out.Get()), cb);
        EXPECT_EQ(0u, after.find(c.after)) << after;
    }
    const StatusKey broken[] = {{L"SupportInfo", L"x\r\n[QVC-OTHER]"}};
    GpHeapBlock out;
    DWORD cb = 0;
    EXPECT_EQ(ERROR_INVALID_DATA, BuildStatusFile(nullptr, 0, L"QVC-T", broken, 1, out, cb));
    EXPECT_EQ(ERROR_INVALID_DATA, BuildStatusFile(nullptr, 0, L"QVC]T", keys, 3, out, cb));
}

// Names planted beside the file, the earlier predictable one and a link of the new form, are
// never opened, followed or removed, and the record is written all the same.
TEST(StatusRecord, PlantedNamesStayUntouched)
{
    std::wstring dir = SystemDir();
    SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    std::wstring ini = dir + L"\\LumoAgent.ini";
    DeleteFileW(ini.c_str());
    ASSERT_TRUE(WriteFileBytes(ini, "[QVC-OTHER]\r\nCurrentVersion=1.0.0.0\r\n"));
    wchar_t szPid[16];
    wsprintfW(szPid, L"%X", GetCurrentProcessId());
    std::wstring plant = ini + L".~" + szPid + L".tmp";
    ASSERT_TRUE(WriteFileBytes(plant, "planted"));
    TempDir target;
    ASSERT_TRUE(WriteFileBytes(target / L"keep.txt", "keep"));
    std::wstring link = ini + L".~0123456789ABCDEF.tmp";
    bool bLink = HostAvailable() && MakeHostLink(link, target.Path());
    std::printf("planted link: %s\n", bLink ? "made" : "not possible here");

    TraceCapture capture;
    LumoAgentApp app;
    app.m_strProduct = L"QVC-T";
    app.m_strVersion = L"6.70.0.1";
    app.WriteUpdateStatus(3);
    EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::WriteUpdateStatus] succes log ver[6.70.0.1], status[3]"));
    EXPECT_EQ(L"6.70.0.1", Value(ini, L"QVC-T", L"CurrentVersion"));
    EXPECT_EQ(0u, ReadFileBytes(ini).find("[QVC-OTHER]\r\nCurrentVersion=1.0.0.0\r\n[QVC-T]\r\n"));
    EXPECT_EQ("planted", ReadFileBytes(plant));
    EXPECT_EQ(bLink ? 2 : 1, CopiesBeside(ini));
    if (bLink)
    {
        EXPECT_EQ("keep", ReadFileBytes(target / L"keep.txt"));
        HostShell(dir, "rm -f 'LumoAgent.ini.~0123456789ABCDEF.tmp'");
    }
    DeleteFileW(plant.c_str());
    DeleteFileW(ini.c_str());
}

// On a full disk the record is not written, a trace line says why, and the file, with the other
// product's record after ours, stays byte for byte.
TEST(StatusRecord, AFullDiskLeavesTheFileAsItWas)
{
    // Our old record is short: the new one takes the file past its page.
    std::string before =
        "[QVC-T]\r\nCurrentVersion=6.6\r\nUpdateStatus=3\r\n[QVC-OTHER]\r\nCurrentVersion=1.0.0.0\r\n";
    while (before.size() < 4080 - 12)
        before += "Note=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\r\n";
    before.resize(4080 - 12, 'x');
    before += "\r\nLast=end\r\n";
    ASSERT_EQ(4080u, before.size());

    std::wstring dir = SystemDir();
    SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    std::wstring ini = dir + L"\\LumoAgent.ini";
    struct Run
    {
        DWORD dwStatus;
        bool bMount;
    } runs[] = {{3, true}, {103, true}, {3, false}};
    for (const Run& r : runs)
    {
        SCOPED_TRACE(r.dwStatus);
        SCOPED_TRACE(r.bMount ? "volume" : "seam");
        DWORD dwStatus = r.dwStatus;
        FullVolume volume(dir, r.bMount);
        ASSERT_TRUE(WriteFileBytes(ini, before));
        if (volume.Mounted())
            ASSERT_TRUE(volume.Fill());
        else
            volume.UseSeam(16);
        TraceCapture capture;
        LumoAgentApp app;
        app.m_strProduct = L"QVC-T";
        app.m_strVersion = L"6.70.0.1";
        app.WriteUpdateStatus(dwStatus);
        GpSeamsReset();
        EXPECT_TRUE(capture.WaitFor(L"[LumoAgentApp::WriteUpdateStatus] ！WriteFile(" + ini + L")"));
        EXPECT_TRUE(capture.Contains(L"の記録は書かれず、ファイルは元のままです。"));
        EXPECT_FALSE(capture.Contains(L"succes log") || capture.Contains(L"failed log"));
        EXPECT_EQ(before, ReadFileBytes(ini));
        EXPECT_EQ(0, CopiesBeside(ini));
        std::printf("full volume: %s\n", volume.Mounted() ? "tmpfs mounted" : "write seam");
        DeleteFileW((dir + L"\\filler").c_str());
        DeleteFileW(ini.c_str());
    }
}
