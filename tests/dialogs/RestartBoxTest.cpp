// The restart offer at the end of an agent run: the question, and the warning after No.
#include <gtest/gtest.h>

#include "tests/dialogs/DialogTestUtil.h"
#include "app/LumoAgentApp.h"
#include "common/GpSeams.h"

using dialogdriver::Dialog;
using namespace dialogtest;

namespace
{
const wchar_t* const QUESTION = L"Quovera Clientのアップデートを完了させるには、\r\n"
                                L"コンピュータの再起動が必要です。\r\n今すぐ再起動を行いますか？";
const wchar_t* const WARNING =
    L"プログラムは正常にアップデートされましたが、\r\n再起動するまではWindowsが正常に動作しない\r\n"
    L"可能性がありますのでご注意ください。";

// The restart itself is the one thing the test must not really do.
struct RestartSpy
{
    int calls = 0;
    UINT flags = 0;
    RestartSpy()
    {
        GpSeam().ExitWindowsFn = [this](UINT uFlags, DWORD) {
            ++calls;
            flags = uFlags;
            return TRUE;
        };
    }
};
} // namespace

struct RestartCase
{
    const char* name;
    int answer;           // pressed on the question
    bool warning;         // the warning follows (and is confirmed with OK)
    int restarts;         // ExitWindowsEx calls
    UINT flags;           // of the restart
    const wchar_t* shotQ; // picture names for the README (null: none)
    const wchar_t* shotW;
};

void PrintTo(const RestartCase& c, std::ostream* os)
{
    *os << c.name;
}

class RestartBox : public ::testing::TestWithParam<RestartCase>
{
};

TEST_P(RestartBox, Answer)
{
    REQUIRE_DIALOG_DISPLAY();
    const RestartCase& c = GetParam();
    RestartSpy spy;
    LumoAgentApp app;
    BoxCall call([&app] { return static_cast<int>(app.OsReboot()); });

    Dialog q;
    ASSERT_TRUE(
        dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, q, GetCurrentProcessId()));
    ExpectBox(q, QUESTION, {IDYES, IDNO}, dialogdriver::DialogIcon::Information);
    if (c.shotQ != nullptr)
        Shot(q, c.shotQ);
    ASSERT_TRUE(dialogdriver::PressButton(q, c.answer));

    if (c.warning)
    {
        ASSERT_TRUE(dialogdriver::WaitGone(q.hwnd, BOX_WAIT_MS));
        Dialog w;
        ASSERT_TRUE(
            dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, w, GetCurrentProcessId()));
        ExpectBox(w, WARNING, {IDOK}, dialogdriver::DialogIcon::Warning);
        if (c.shotW != nullptr)
            Shot(w, c.shotW);
        ASSERT_TRUE(dialogdriver::PressButton(w, IDOK));
    }

    int result = 0;
    ASSERT_TRUE(call.Wait(BOX_WAIT_MS, &result)) << (c.warning ? "" : "a second box came after Yes");
    EXPECT_EQ(1, result);
    EXPECT_EQ(c.restarts, spy.calls);
    if (c.restarts > 0)
    {
        EXPECT_EQ(c.flags, spy.flags);
    }
    EXPECT_EQ(0, app.m_nExitCode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestartBox,
    ::testing::Values(RestartCase{"NoShowsTheWarningAndDoesNotRestart", IDNO, true, 0, 0, L"restart-question",
                                  L"restart-warning"},
                      RestartCase{"YesRestartsWithoutTheWarning", IDYES, false, 1,
                                  static_cast<UINT>(EWX_REBOOT | EWX_FORCEIFHUNG), nullptr, nullptr}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return std::string(info.param.name); });
