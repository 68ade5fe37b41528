// QvDialogDriver.exe answers a box of another process by caption, or reports that none came.
#include <gtest/gtest.h>

#include <string>

#include "tests/dialogs/DialogTestUtil.h"
#include "tests/support/TestUtil.h"

namespace
{
struct DriverCase
{
    const char* name;
    const wchar_t* press;
    DWORD driverExit;
};

const DriverCase kDriverCases[] = {
    {"PressOk", L"/press=OK", 0},
    {"CloseButton", L"/press=close", 0},
    {"ButtonNotOnTheBox", L"/press=Retry", 3},
};

void PrintTo(const DriverCase& c, std::ostream* os)
{
    *os << c.name;
}

class DriverProgram : public ::testing::TestWithParam<DriverCase>
{
};
} // namespace

TEST_P(DriverProgram, AnswersTheToolsBox)
{
    REQUIRE_DIALOG_DISPLAY();
    const DriverCase& c = GetParam();
    lumotest::TempDir dir;
    lumotest::ChildProcess agent;
    ASSERT_TRUE(agent.Start(lumotest::Quote(lumotest::BinPath(L"LumoAgent.exe")), dir.Path()));

    lumotest::ProcessResult r =
        lumotest::RunProcess(lumotest::Quote(lumotest::BinPath(L"QvDialogDriver.exe")) + L" /pid=" +
                                 std::to_wstring(agent.Pid()) + L" " + c.press,
                             dialogtest::BOX_WAIT_MS + 10000);
    ASSERT_TRUE(r.started);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(c.driverExit, r.exitCode);

    DWORD exitCode = 0;
    if (c.driverExit == 0)
    {
        ASSERT_TRUE(agent.Wait(dialogtest::BOX_WAIT_MS, &exitCode));
        EXPECT_EQ(3u, exitCode);
    }
    else
    {
        // Unanswered, the box is still there; answer it so that the tool ends.
        EXPECT_FALSE(agent.Wait(0, &exitCode));
        dialogdriver::Dialog d;
        ASSERT_TRUE(dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, 1000, d, agent.Pid()));
        ASSERT_TRUE(dialogdriver::PressButton(d, IDOK));
        ASSERT_TRUE(agent.Wait(dialogtest::BOX_WAIT_MS, &exitCode));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DriverProgram, ::testing::ValuesIn(kDriverCases),
                         [](const ::testing::TestParamInfo<DriverCase>& i) {
                             return std::string(i.param.name);
                         });

TEST(DriverProgramNoBox, ReportsTheTimeOut)
{
    REQUIRE_DIALOG_DISPLAY();
    lumotest::ProcessResult r = lumotest::RunProcess(
        lumotest::Quote(lumotest::BinPath(L"QvDialogDriver.exe")) + L" \"/caption=No such box\" /wait=300",
        10000);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(1u, r.exitCode);
}
