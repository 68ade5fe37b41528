#include <gtest/gtest.h>

#include "tests/support/TestUtil.h"
#include "tools/DebugListener/DebugRecord.h"
#include "tools/DebugListener/ListenerFilter.h"
#include "tools/DebugListener/RotatingLog.h"

using namespace lumotest;

TEST(ListenerFilter, LevelsAndPidListsAsAdministratorsWriteThem)
{
    const struct
    {
        const wchar_t* text;
        int level;
    } levels[] = {{L"WARNING", 22}, {L"warning", 22}, {L"Trace", 42}, {L"FATAL", 11},
                  {L"22", 22},      {L"41", 41},      {L"", 0},       {L"warn", 0},
                  {L"22x", 0},      {L"-1", 0},       {L"99999", 0}};
    for (const auto& c : levels)
        EXPECT_EQ(c.level, ParseDebugLevel(c.text)) << c.text;

    std::vector<unsigned long> pids;
    ASSERT_TRUE(ParsePidList(L"364,1180", pids));
    EXPECT_EQ((std::vector<unsigned long>{364, 1180}), pids);
    for (const wchar_t* bad : {L"", L"364,", L",364", L"36a", L"1,,2", L"12345678901"})
        EXPECT_FALSE(ParsePidList(bad, pids)) << bad;
}

TEST(ListenerFilter, KeepsTheSevereRecordsOfTheNamedProcesses)
{
    ListenerFilter filter;
    filter.maxLevel = 22;
    filter.pids = {364, 1180};
    const struct
    {
        unsigned long pid;
        int level;
        bool kept;
    } cases[] = {{364, 11, true},  {364, 22, true},  {1180, 12, true},
                 {364, 32, false}, {364, 42, false}, {999, 11, false}};
    for (const auto& c : cases)
    {
        DebugRecord rec;
        rec.pid = c.pid;
        rec.level = c.level;
        EXPECT_EQ(c.kept, filter.Accepts(rec)) << c.pid << "/" << c.level;
    }
    EXPECT_TRUE(ListenerFilter().Accepts(DebugRecord())); // no filter: everything
}

TEST(ListenerFormat, MessagesStartInOneColumnAcrossProgramsAndLines)
{
    DebugRecord agent;
    agent.time = L"[2026/12/10 12:00:00.000001]";
    agent.program = L"LumoAgent.exe";
    agent.pid = 364;
    agent.tid = 368;
    agent.level = 22;
    agent.message = L"[LumoAgentApp::NLXLogout] first\r\nsecond";
    DebugRecord sender = agent;
    sender.program = L"QvLogSender.exe";
    sender.pid = 1180;
    sender.level = 42;
    sender.message = L"[QvLogSenderSim] one line";

    std::wstring a = FormatDebugRecord(agent);
    std::wstring b = FormatDebugRecord(sender);
    size_t column = a.find(L"[LumoAgentApp");
    ASSERT_NE(std::wstring::npos, column);
    EXPECT_EQ(column, b.find(L"[QvLogSenderSim]"));
    // The second line of the message stands under the first.
    size_t br = a.find(L'\n');
    ASSERT_NE(std::wstring::npos, br);
    EXPECT_EQ(std::wstring(column, L' ') + L"second", a.substr(br + 1));
    EXPECT_EQ(std::wstring::npos, a.find(L'\r'));
}

TEST(RotatingLog, MovesFullFilesAsideAndKeepsTheNewestGenerations)
{
    TempDir dir;
    std::wstring path = dir / L"trace.txt";
    RotatingLog log;
    ASSERT_TRUE(log.Open(path, 100, 2));
    std::string all;
    for (int i = 0; i < 12; i++)
    {
        char line[32];
        snprintf(line, sizeof(line), "line %02d ......................\n", i); // 31 bytes: 3 a file
        ASSERT_TRUE(log.Write(line));
        all += line;
    }
    std::string current = ReadFileBytes(path), one = ReadFileBytes(path + L".1"),
                two = ReadFileBytes(path + L".2");
    for (const std::string* f : {&current, &one, &two})
    {
        EXPECT_LE(f->size(), 100u);
        EXPECT_FALSE(f->empty());
    }
    EXPECT_FALSE(FileExists(path + L".3"));
    // Oldest to newest, the kept files are the end of what was written, in order.
    std::string kept = two + one + current;
    EXPECT_EQ(all.substr(all.size() - kept.size()), kept);
    EXPECT_NE(std::string::npos, current.find("line 11"));
    EXPECT_EQ(std::string::npos, kept.find("line 00")); // the oldest generation was dropped
}

TEST(RotatingLog, ContinuesAFileOnlyWhenRotating)
{
    TempDir dir;
    std::wstring path = dir / L"trace.txt";
    ASSERT_TRUE(WriteFileBytes(path, "earlier\n"));
    {
        RotatingLog log;
        ASSERT_TRUE(log.Open(path, 1024, 3));
        ASSERT_TRUE(log.Write("later\n"));
    }
    EXPECT_EQ("earlier\nlater\n", ReadFileBytes(path));
    {
        RotatingLog log;
        ASSERT_TRUE(log.Open(path, 0, 3));
        ASSERT_TRUE(log.Write("fresh\n"));
    }
    EXPECT_EQ("fresh\n", ReadFileBytes(path));
}
