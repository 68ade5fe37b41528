// A settings save killed at any moment: JsonSaveLoop.exe saves a 1 MB encrypted document in a
// loop and is killed at random moments. After every kill the file loads with one whole document,
// and what the killed save left behind goes with the next save.
#include <gtest/gtest.h>

#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include "tests/json/JsonTestUtil.h"
#include "common/GpHandles.h"
#include "tests/json/SaveLoopDoc.h"
#include "tests/support/TestUtil.h"

using namespace jsontest;
using namespace lumotest;

namespace
{
double Now()
{
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

struct KillTally
{
    int kills = 0, oldOrA = 0, newOrB = 0, broken = 0, maxLeft = 0, leftAtEnd = 0;
    double saveMs = 0;
};

// Kills the save loop nKills times, each at a random moment within its first six saves.
KillTally KillSaves(int nKills, unsigned seed)
{
    KillTally tally;
    TempDir dir;
    std::wstring path = dir / L"ServerSetting.cfg";
    std::wstring dumps[2];
    {
        JsonFile doc;
        EXPECT_GT(ParseInto(doc, SaveLoopText(L'A')), 0);
        EXPECT_EQ(1, doc.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS));
        doc.Close();
        double t0 = Now();
        EXPECT_EQ(1, doc.Save());
        tally.saveMs = (Now() - t0) * 1000;
        dumps[0] = Dump(doc.m_root);
        EXPECT_GT(ParseInto(doc, SaveLoopText(L'B')), 0);
        dumps[1] = Dump(doc.m_root);
    }
    EXPECT_GT(ReadFileBytes(path).size(), 900000u);

    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> moment(0, 6 * tally.saveMs / 1000);
    std::wstring ready = L"JsonSaveLoopReady_" + std::to_wstring(GetCurrentProcessId());
    GpKernelHandle hReady(CreateEventW(nullptr, FALSE, FALSE, ready.c_str()));
    for (int i = 0; i < nKills; i++)
    {
        ChildProcess loop;
        if (!loop.Start(Quote(BinPath(L"JsonSaveLoop.exe")) + L" " + Quote(path) + L" " + ready))
        {
            ADD_FAILURE() << "JsonSaveLoop.exe did not start";
            break;
        }
        if (WaitForSingleObject(hReady.Get(), 20000) != WAIT_OBJECT_0)
        {
            DWORD code = 0;
            loop.Wait(0, &code);
            ADD_FAILURE() << "the loop never started saving, exit " << code;
            break;
        }
        double until = Now() + moment(rng);
        while (Now() < until)
            YieldProcessor();
        DWORD code = 0;
        if (loop.Wait(0, &code))
        {
            ADD_FAILURE() << "the loop ended by itself with " << code;
            break;
        }
        loop.Terminate();
        tally.kills++;

        JsonFile doc;
        int rc = doc.Load(path.c_str());
        std::wstring got = rc == 1 ? Dump(doc.m_root) : L"";
        if (got == dumps[0])
            tally.oldOrA++;
        else if (got == dumps[1])
            tally.newOrB++;
        else
        {
            tally.broken++;
            ADD_FAILURE() << "kill " << i << ": load rc=" << rc << ", " << ReadFileBytes(path).size()
                          << " bytes";
        }
        int nLeft = static_cast<int>(ListFiles(path + L".~*").size());
        tally.maxLeft = std::max(tally.maxLeft, nLeft);
        // Only the killed save's own temporary file may be there: earlier ones went with its saves.
        EXPECT_LE(nLeft, 1) << "kill " << i;
    }
    JsonFile doc;
    EXPECT_EQ(1, doc.Load(path.c_str()));
    EXPECT_EQ(1, doc.Save());
    tally.leftAtEnd = static_cast<int>(ListFiles(path + L".~*").size());
    EXPECT_EQ(0, tally.leftAtEnd);
    return tally;
}

void Report(const KillTally& t, double seconds)
{
    printf("save kills: %d (one save %.0f ms)  loads whole A: %d  whole B: %d  broken: %d  "
           "temporary files after a kill at most: %d  after the next save: %d  (%.1f s)\n",
           t.kills, t.saveMs, t.oldOrA, t.newOrB, t.broken, t.maxLeft, t.leftAtEnd, seconds);
}
} // namespace

TEST(SaveKill, KilledSavesLeaveAWholeDocumentAndTheNextSaveCleansUp)
{
    double t0 = Now();
    KillTally t = KillSaves(25, 20261210);
    Report(t, Now() - t0);
    EXPECT_EQ(25, t.kills);
    // Both documents were met: the kills fell on both sides of a replacement.
    EXPECT_GT(t.oldOrA, 0);
    EXPECT_GT(t.newOrB, 0);
}

// The long run (scripts/killtest.sh): 250 kills.
TEST(SaveKill, DISABLED_ManyKills)
{
    double t0 = Now();
    KillTally t = KillSaves(250, 4711);
    Report(t, Now() - t0);
    EXPECT_EQ(250, t.kills);
}
