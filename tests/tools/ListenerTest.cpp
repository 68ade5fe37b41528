#include <gtest/gtest.h>

#include "common/GpTrace.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"

using namespace lumotest;

TEST(DebugListener, PrintsEachRecordAsOneReadableLine)
{
    TempDir dir;
    std::wstring out = dir / L"trace.txt";
    ChildProcess listener;
    ASSERT_TRUE(listener.Start(Quote(BinPath(L"QvsDebugListener.exe")) + L" /pipe=" + TestPipeName() +
                               L" /out=" + Quote(out) + L" /seconds=30"));
    // Records sent before the listener has its pipe are dropped: repeat until one arrives.
    std::string text;
    for (int i = 0; i < 100 && text.find("LumoTest::Probe") == std::string::npos; i++)
    {
        GPTRACE(TRACE_WARNING, L"[%s] ！プローブ\u3000%d", L"LumoTest::Probe", i);
        Sleep(50);
        text = ReadFileBytes(out);
    }
    std::wstring line = FromUtf8(text.substr(0, text.find('\n')));
    EXPECT_NE(std::wstring::npos, line.find(L" WARNING "));
    EXPECT_NE(std::wstring::npos, line.find(L" " + std::to_wstring(GetCurrentProcessId()) + L" "));
    EXPECT_NE(std::wstring::npos, line.find(L"test_tools_listener.exe [LumoTest::Probe] ！プローブ\u3000"));
    EXPECT_EQ(L'[', line[0]); // the time text leads
}

TEST(DebugListener, FiltersByLevelAndProcessIntoARotatingFile)
{
    TempDir dir;
    std::wstring out = dir / L"field.txt";
    ChildProcess listener;
    ASSERT_TRUE(listener.Start(Quote(BinPath(L"QvsDebugListener.exe")) + L" /pipe=" + TestPipeName() +
                               L" /level=ERROR /pid=" + std::to_wstring(GetCurrentProcessId()) + L",1 /out=" +
                               Quote(out) + L" /maxkb=1 /keep=2 /seconds=30"));
    // Wait until the listener hears us, then fill more than three files' worth.
    for (int i = 0; i < 100 && ReadFileBytes(out).empty(); i++)
    {
        GPTRACE(TRACE_ERROR, L"[%s] ！起動確認", L"LumoTest::Probe");
        Sleep(50);
    }
    const std::wstring filler(200, L'x');
    for (int i = 0; i < 20; i++)
    {
        GPTRACE(TRACE_WARNING, L"[%s] 警告は除かれる %d", L"LumoTest::Probe", i);
        GPTRACE(TRACE_ERROR, L"[%s] ！エラー %02d %s", L"LumoTest::Probe", i, filler.c_str());
    }
    std::string last;
    for (int i = 0; i < 100 && last.find("エラー 19") == std::string::npos; i++)
    {
        Sleep(50);
        last = ReadFileBytes(out);
    }
    listener.Terminate();
    EXPECT_NE(std::string::npos, last.find("エラー 19"));
    std::string older = ReadFileBytes(out + L".1") + ReadFileBytes(out + L".2");
    EXPECT_FALSE(ReadFileBytes(out + L".2").empty());
    EXPECT_FALSE(FileExists(out + L".3"));
    for (const std::string& text : {last, older})
    {
        EXPECT_LE(text.size(), 2 * 1024u);
        EXPECT_EQ(std::string::npos, text.find("警告は除かれる"));
        EXPECT_EQ(std::string::npos, text.find(" WARNING "));
    }
    EXPECT_LE(last.size(), 1024u);
}
