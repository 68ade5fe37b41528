// The failure box of tool mode, as a person sees it: real LumoAgent.exe runs on the X display,
// and the exit hook's box for every exit code.
#include <gtest/gtest.h>

#include <string>

#include "tests/dialogs/DialogTestUtil.h"
#include "app/LumoAgentApp.h"
#include "tests/app/CommandLineApp.h"
#include "tests/support/TestUtil.h"

using dialogdriver::Dialog;
using namespace dialogtest;

namespace
{
enum class Answer
{
    Ok,
    CloseButton
};

struct ToolRunCase
{
    const char* name;
    const wchar_t* args; // "%s" stands for the run's folder
    int patches;         // QVClient_v*.zip files put into the run's folder
    int exitCode;
    const wchar_t* text;
    Answer answer;
    const wchar_t* shot;
};

const ToolRunCase kToolRuns[] = {
    {"NoPatch", L"", 0, 3, L"指定されたパッチが見つかりません\r\n拡張エラー情報(2)", Answer::Ok,
     L"failure-3"},
    {"SeveralPatches", L"/sp", 2, 3, L"指定されたパッチが見つかりません\r\n拡張エラー情報(4)",
     Answer::CloseButton, nullptr},
    {"GivenPatchMissing", L"/p=\"%s\\QVClient_v9.zip\"", 0, 3,
     L"指定されたパッチが見つかりません\r\n拡張エラー情報(2)", Answer::Ok, nullptr},
    {"UnclosedQuote", L"/p=\"%s\\QVClient_v1.zip", 1, 2, L"コマンドライン引数が不正です", Answer::Ok,
     L"failure-2"},
};

std::wstring Expand(const wchar_t* args, const std::wstring& dir)
{
    std::wstring s = args;
    size_t at = s.find(L"%s");
    if (at != std::wstring::npos)
        s.replace(at, 2, dir);
    return s;
}

void PrintTo(const ToolRunCase& c, std::ostream* os)
{
    *os << c.name;
}

class ToolRun : public ::testing::TestWithParam<ToolRunCase>
{
};
} // namespace

TEST_P(ToolRun, FailureBoxThenExitCode)
{
    REQUIRE_DIALOG_DISPLAY();
    const ToolRunCase& c = GetParam();
    lumotest::TempDir dir;
    for (int i = 1; i <= c.patches; ++i)
        ASSERT_TRUE(lumotest::WriteFileBytes(dir / (L"QVClient_v" + std::to_wstring(i) + L".zip"), "PK"));

    lumotest::ChildProcess agent;
    std::wstring cmd = lumotest::Quote(lumotest::BinPath(L"LumoAgent.exe"));
    if (*c.args != L'\0')
        cmd += L" " + Expand(c.args, dir.Path());
    ASSERT_TRUE(agent.Start(cmd, dir.Path()));

    Dialog d;
    ASSERT_TRUE(dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, d, agent.Pid()))
        << "no failure box";
    ExpectBox(d, c.text, {IDOK}, dialogdriver::DialogIcon::Warning);
    if (c.shot != nullptr)
        Shot(d, c.shot);

    DWORD exitCode = 0;
    EXPECT_FALSE(agent.Wait(300, &exitCode)) << "the tool ended while its box was still up";
    ASSERT_TRUE(c.answer == Answer::Ok ? dialogdriver::PressButton(d, IDOK) : dialogdriver::CloseDialog(d));
    ASSERT_TRUE(agent.Wait(BOX_WAIT_MS, &exitCode)) << "the tool did not end after its box was answered";
    EXPECT_EQ(static_cast<DWORD>(c.exitCode), exitCode);
}

INSTANTIATE_TEST_SUITE_P(Cases, ToolRun, ::testing::ValuesIn(kToolRuns),
                         [](const ::testing::TestParamInfo<ToolRunCase>& i) {
                             return std::string(i.param.name);
                         });

// Silent run modes fail without a box: the run ends on its own with the code.
TEST(SilentToolRun, NoBoxJustTheExitCode)
{
    REQUIRE_DIALOG_DISPLAY();
    for (const wchar_t* mode : {L"/sn", L"/sf"})
    {
        lumotest::TempDir dir;
        lumotest::ProcessResult r = lumotest::RunProcess(
            lumotest::Quote(lumotest::BinPath(L"LumoAgent.exe")) + L" " + mode, BOX_WAIT_MS, dir.Path());
        ASSERT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut) << "a box held up the silent run " << lumotest::ToUtf8(mode);
        EXPECT_EQ(3u, r.exitCode) << lumotest::ToUtf8(mode);
    }
}

namespace
{
struct ExitBoxCase
{
    int exitCode;
    int extInfo;
    const wchar_t* text;
    const wchar_t* shot; // the real tool runs above picture codes 2 and 3
};

const ExitBoxCase kExitBoxes[] = {
    {1, 1056, L"既に起動されています", L"failure-1"},
    {2, 87, L"コマンドライン引数が不正です", nullptr},
    {3, 4, L"指定されたパッチが見つかりません\r\n拡張エラー情報(4)", nullptr},
    {4, 1223, L"アップデートは実行されませんでした", L"failure-4"},
    {5, 1223,
     L"Quovera Client をログアウトできなかったため、\r\n"
     L"アップデートは実行されませんでした\r\n拡張エラー情報(1223)",
     L"failure-5"},
    {6, 0,
     L"現在の Quovera Client のバージョンでは\r\n"
     L"対応していないオプションが指定されました\r\n拡張エラー情報(0)",
     L"failure-6"},
    {7, 18, L"ログの送信が行えませんでした。\r\nネットワーク・サーバー設定の\r\n再確認を行なってください",
     L"failure-7"},
    {8, 13, L"アップデート情報の取得中にエラーが発生しました。\r\n拡張エラー情報(13)", L"failure-8"},
    {9, 0, L"アップデート中にエラーが発生しました。\r\n拡張エラー情報(0)", L"failure-9"},
    {10, 5, L"アップデートに失敗しました。\r\n拡張エラー情報(5)", L"failure-10"},
    {11, 7, L"アップデートに失敗しました。\r\n拡張エラー情報(7)", nullptr},
};

void PrintTo(const ExitBoxCase& c, std::ostream* os)
{
    *os << "code " << c.exitCode;
}

class ExitBox : public ::testing::TestWithParam<ExitBoxCase>
{
};
} // namespace

// The exit hook's box for each code, the whole text on screen, answered with OK.
TEST_P(ExitBox, ShowsTheCodesText)
{
    REQUIRE_DIALOG_DISPLAY();
    const ExitBoxCase& c = GetParam();
    lumotest::FinishedRun app(L"", c.exitCode, c.extInfo);
    BoxCall call([&app] { return app.ExitInstance(); });

    Dialog d;
    ASSERT_TRUE(
        dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, d, GetCurrentProcessId()));
    ExpectBox(d, c.text, {IDOK}, dialogdriver::DialogIcon::Warning);
    if (c.shot != nullptr)
        Shot(d, c.shot);
    ASSERT_TRUE(dialogdriver::PressButton(d, IDOK));
    int result = -1;
    ASSERT_TRUE(call.Wait(BOX_WAIT_MS, &result));
    EXPECT_EQ(c.exitCode, result);
}

INSTANTIATE_TEST_SUITE_P(Codes, ExitBox, ::testing::ValuesIn(kExitBoxes),
                         [](const ::testing::TestParamInfo<ExitBoxCase>& i) {
                             return "Code" + std::to_string(i.param.exitCode);
                         });
