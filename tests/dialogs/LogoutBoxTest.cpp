// The logout retry box of an agent run: the client window refuses once, the user answers.
#include <gtest/gtest.h>

#include <string>

#include "tests/dialogs/DialogTestUtil.h"
#include "app/LumoAgentApp.h"
#include "common/GpResult.h"
#include "tests/support/ClientWindowProcess.h"
#include "tests/support/ServiceDouble.h"
#include "tests/support/TestUtil.h"

using dialogdriver::Dialog;
using lumotest::ServiceDouble;
using namespace dialogtest;

namespace
{
// The resident service as the logout step sees it: a client version that takes the window
// message (6.60), every command carried out.
ServiceDouble::Replier ClientService()
{
    return ServiceDouble::Client(6, 60, ERROR_OK);
}

const wchar_t* const RETRY_TEXT = L"NLXの機能を利用中のためアップデートできません。\r\n"
                                  L"関連するアプリケーションを終了後、再実施して下さい。";

enum class Answer
{
    Retry,
    Cancel,
    CloseButton
};

struct LogoutCase
{
    const char* name;
    int secondAnswer; // the window's answer to the retry
    Answer answer;
    BOOL result;
    int exitCode, extInfo;
    int messages; // logout messages the window received
    const wchar_t* shot;
};

const LogoutCase kLogoutCases[] = {
    {"RetryThenLoggedOut", 0, Answer::Retry, 1, 0, 0, 2, L"logout-retry"},
    {"RetryRefusedAgain", 9, Answer::Retry, 0, 5, 9, 2, nullptr},
    {"Cancel", 0, Answer::Cancel, 0, 5, 1223, 1, nullptr},
    {"CloseButton", 0, Answer::CloseButton, 0, 5, 1223, 1, nullptr},
};

void PrintTo(const LogoutCase& c, std::ostream* os)
{
    *os << c.name;
}

class LogoutBox : public ::testing::TestWithParam<LogoutCase>
{
};
} // namespace

TEST_P(LogoutBox, OneRetry)
{
    REQUIRE_DIALOG_DISPLAY();
    const LogoutCase& c = GetParam();
    ServiceDouble service(ClientService());
    lumotest::ClientWindowProcess window;
    ASSERT_TRUE(window.Start(L"/first=3 /answer=" + std::to_wstring(c.secondAnswer)));
    LumoAgentApp app;
    app.m_lpCmdLine = L"/Agent /sp";
    app.SetRunMode();
    BoxCall call([&app] { return static_cast<int>(app.NLXLogout()); });

    Dialog d;
    ASSERT_TRUE(
        dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, d, GetCurrentProcessId()));
    ExpectBox(d, RETRY_TEXT, {IDRETRY, IDCANCEL}, dialogdriver::DialogIcon::Information);
    if (c.shot != nullptr)
        Shot(d, c.shot);
    switch (c.answer)
    {
    case Answer::Retry:
        ASSERT_TRUE(dialogdriver::PressButton(d, IDRETRY));
        break;
    case Answer::Cancel:
        ASSERT_TRUE(dialogdriver::PressButton(d, IDCANCEL));
        break;
    case Answer::CloseButton:
        ASSERT_TRUE(dialogdriver::CloseDialog(d));
        break;
    }
    int result = -1;
    ASSERT_TRUE(call.Wait(BOX_WAIT_MS, &result)) << "a second box came";
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.exitCode, app.m_nExitCode);
    EXPECT_EQ(c.extInfo, app.m_nExtInfo);
    EXPECT_EQ(c.messages, window.Messages());
}

INSTANTIATE_TEST_SUITE_P(Cases, LogoutBox, ::testing::ValuesIn(kLogoutCases),
                         [](const ::testing::TestParamInfo<LogoutCase>& i) {
                             return std::string(i.param.name);
                         });

// A real agent run: the user cancels the retry box, the agent ends with code 5 and, being the
// agent, shows no failure box of its own.
TEST(LogoutBoxAgent, CancelEndsTheAgentWithoutAFailureBox)
{
    REQUIRE_DIALOG_DISPLAY();
    ServiceDouble service(ClientService());
    lumotest::ClientWindowProcess window;
    ASSERT_TRUE(window.Start(L"/first=3 /answer=0"));
    lumotest::TempDir dir;
    ASSERT_TRUE(lumotest::WriteFileBytes(dir / L"QVClient_v1.zip", "PK"));
    lumotest::ChildProcess agent;
    ASSERT_TRUE(agent.Start(lumotest::Quote(lumotest::BinPath(L"LumoAgent.exe")) + L" /Agent /sp /p=\"" +
                                (dir / L"QVClient_v1.zip") + L"\"",
                            dir.Path()));

    Dialog d;
    ASSERT_TRUE(dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, d, agent.Pid()));
    ExpectBox(d, RETRY_TEXT, {IDRETRY, IDCANCEL}, dialogdriver::DialogIcon::Information);
    ASSERT_TRUE(dialogdriver::PressButton(d, IDCANCEL));
    DWORD exitCode = 0;
    ASSERT_TRUE(agent.Wait(BOX_WAIT_MS, &exitCode)) << "the agent did not end after the retry box";
    EXPECT_EQ(5u, exitCode);
    EXPECT_EQ(1, window.Messages());
}
