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
    ASSERT_TRUE(listener.Start(Quote(BinPath(L"QvsDebugListener.exe")) + L" /pipe=" + TestPipeName() + L" /out=" +
                               Quote(out) + L" /seconds=30"));
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
