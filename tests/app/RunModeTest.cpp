#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ExitCodeText.h"
#include "app/LumoAgentApp.h"
#include "common/GpSeams.h"
#include "tests/app/CommandLineApp.h"

namespace
{
struct RunModeCase
{
    const wchar_t* cmdLine;
    BOOL agent, confirm, msgBox, force, checkLog, leaveCache, patchPath;
    const wchar_t* mode;
};

const RunModeCase kRunModes[] = {
    {L"", 0, 1, 1, 0, 0, 0, 0, L"/n"},
    {L"/sp", 0, 0, 1, 0, 0, 0, 0, L"/sp"},
    {L"/sn", 0, 0, 0, 0, 0, 0, 0, L"/sn"},
    {L"/sf", 0, 0, 0, 1, 0, 0, 0, L"/sf"},
    {L"/silent", 0, 1, 1, 0, 0, 0, 0, L"/n"},     // "/s" in another form: warning, normal
    {L"/sf /sp", 0, 0, 1, 0, 0, 0, 0, L"/sp"},    // first row that matches wins
    {L"/sfx", 0, 0, 0, 1, 0, 0, 0, L"/sf"},       // substring test
    {L"/agent /sp", 0, 0, 1, 0, 0, 0, 0, L"/sp"}, // case-sensitive
    {L"/Agent /sn /CheckLog /LeaveCache /p=\"x.zip\"", 1, 0, 0, 0, 1, 1, 1, L"/sn"},
    {L"/p=\"C:\\a/sn\\QVClient_v1.zip\"", 0, 0, 0, 0, 0, 0, 1, L"/sn"}, // a switch inside the value
    {L"/sig=100", 0, 1, 1, 0, 0, 0, 0, L"/n"},
    {L"/sig=100 /sp", 0, 0, 1, 0, 0, 0, 0, L"/sp"},
};

class RunMode : public ::testing::TestWithParam<RunModeCase>
{
};
} // namespace

TEST_P(RunMode, SwitchTable)
{
    const RunModeCase& c = GetParam();
    LumoAgentApp app;
    app.m_lpCmdLine = c.cmdLine;
    app.SetRunMode();
    EXPECT_EQ(c.agent, app.m_bAgent);
    EXPECT_EQ(c.confirm, app.m_bConfirm);
    EXPECT_EQ(c.msgBox, app.m_bMsgBox);
    EXPECT_EQ(c.force, app.m_bForce);
    EXPECT_EQ(c.checkLog, app.m_bCheckLog);
    EXPECT_EQ(c.leaveCache, app.m_bLeaveCache);
    EXPECT_EQ(c.patchPath, app.m_bPatchPath);
    EXPECT_STREQ(c.mode, app.m_szMode);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunMode, ::testing::ValuesIn(kRunModes));

TEST(ExitCodeText, TextsByCode)
{
    wchar_t buf[512];
    ExitCodeText(3, 4, buf, 512);
    EXPECT_STREQ(L"指定されたパッチが見つかりません\r\n拡張エラー情報(4)", buf);
    ExitCodeText(1, 1056, buf, 512);
    EXPECT_STREQ(L"既に起動されています", buf); // no extended information in the text
    ExitCodeText(7, 18, buf, 512);
    EXPECT_STREQ(
        L"ログの送信が行えませんでした。\r\nネットワーク・サーバー設定の\r\n再確認を行なってください", buf);
    for (int code : {10, 11, 255, -1})
    {
        ExitCodeText(code, 1460, buf, 512);
        EXPECT_STREQ(L"アップデートに失敗しました。\r\n拡張エラー情報(1460)", buf) << code;
    }
}

namespace
{
struct Box
{
    std::wstring text, caption;
    UINT type;
};
} // namespace

TEST(ExitInstance, FailureBoxOnlyInToolModeWithBoxesAllowed)
{
    struct Case
    {
        const wchar_t* cmdLine;
        int exitCode;
        bool boxExpected;
    } cases[] = {
        {L"", 9, true},
        {L"/sn", 9, false},
        {L"/Agent", 9, false},
        {L"", 0, false},
    };
    for (const Case& c : cases)
    {
        std::vector<Box> boxes;
        GpSeam().MessageBoxFn = [&](HWND hWnd, const wchar_t* text, const wchar_t* caption, UINT type) {
            EXPECT_EQ(nullptr, hWnd);
            boxes.push_back({text, caption, type});
            return IDOK;
        };
        lumotest::FinishedRun app(c.cmdLine, c.exitCode, ERROR_SXS_FILE_HASH_MISMATCH);
        EXPECT_EQ(c.exitCode, app.ExitInstance());
        ASSERT_EQ(c.boxExpected ? 1u : 0u, boxes.size());
        if (c.boxExpected)
        {
            EXPECT_EQ(L"アップデート中にエラーが発生しました。\r\n拡張エラー情報(14028)", boxes[0].text);
            EXPECT_EQ(L"Quovera Client アップデートツール", boxes[0].caption);
            EXPECT_EQ(0x30u, boxes[0].type);
        }
    }
}
