// The confirmation of a normal-mode tool run, answered as a person would.
#include <gtest/gtest.h>

#include <string>

#include "tests/dialogs/DialogTestUtil.h"
#include "tests/support/TestUtil.h"

using dialogdriver::Dialog;
using namespace dialogtest;

namespace
{
const wchar_t* const CONFIRM_TEXT = L"Patch:QVClient_v1.zip\r\nアップデートを実行しますか？\r\n"
                                    L"アップデート完了後にコンピューターは再起動します。\r\n"
                                    L"アップデートを実行する際は作業中のプログラムを終了してください。";

enum class Answer
{
    Ok,
    Cancel,
    CloseButton
};

struct ConfirmCase
{
    const char* name;
    Answer answer;
    int exitCode;
    const wchar_t* failureText; // the failure box that follows
};

const ConfirmCase kConfirmCases[] = {
    {"Cancel", Answer::Cancel, 4, L"アップデートは実行されませんでした"},
    {"CloseButton", Answer::CloseButton, 4, L"アップデートは実行されませんでした"},
    // No service in this prefix: staged, but the agent cannot be started.
    {"OkWithoutService", Answer::Ok, 10, L"アップデートに失敗しました。\r\n拡張エラー情報(2)"},
};

void PrintTo(const ConfirmCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConfirmBox : public ::testing::TestWithParam<ConfirmCase>
{
};
} // namespace

TEST_P(ConfirmBox, AnswerDecidesTheRun)
{
    REQUIRE_DIALOG_DISPLAY();
    const ConfirmCase& c = GetParam();
    lumotest::TempDir dir;
    ASSERT_TRUE(lumotest::WriteFileBytes(dir / L"QVClient_v1.zip", "PK"));
    lumotest::ChildProcess tool;
    ASSERT_TRUE(tool.Start(lumotest::Quote(lumotest::BinPath(L"LumoAgent.exe")), dir.Path()));

    Dialog d;
    ASSERT_TRUE(dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, d, tool.Pid()));
    ExpectBox(d, CONFIRM_TEXT, {IDOK, IDCANCEL}, dialogdriver::DialogIcon::Information);
    if (c.answer == Answer::Cancel)
        Shot(d, L"confirm");
    switch (c.answer)
    {
    case Answer::Ok:
        ASSERT_TRUE(dialogdriver::PressButton(d, IDOK));
        break;
    case Answer::Cancel:
        ASSERT_TRUE(dialogdriver::PressButton(d, IDCANCEL));
        break;
    case Answer::CloseButton:
        ASSERT_TRUE(dialogdriver::CloseDialog(d));
        break;
    }
    ASSERT_TRUE(dialogdriver::WaitGone(d.hwnd, BOX_WAIT_MS));

    Dialog f;
    ASSERT_TRUE(dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, f, tool.Pid()))
        << "no failure box after the confirmation";
    ExpectBox(f, c.failureText, {IDOK}, dialogdriver::DialogIcon::Warning);
    ASSERT_TRUE(dialogdriver::PressButton(f, IDOK));
    DWORD exitCode = 0;
    ASSERT_TRUE(tool.Wait(BOX_WAIT_MS, &exitCode));
    EXPECT_EQ(static_cast<DWORD>(c.exitCode), exitCode);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfirmBox, ::testing::ValuesIn(kConfirmCases),
                         [](const ::testing::TestParamInfo<ConfirmCase>& i) {
                             return std::string(i.param.name);
                         });
