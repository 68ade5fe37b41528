// The restart offer at the end of an agent run: the question, and the warning after No.
#include <gtest/gtest.h>

#include "DialogTestUtil.h"
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

TEST(RestartBox, NoShowsTheWarningAndDoesNotRestart)
{
    REQUIRE_DIALOG_DISPLAY();
    RestartSpy spy;
    LumoAgentApp app;
    BoxCall call([&app] { return static_cast<int>(app.OsReboot()); });

    Dialog q;
    ASSERT_TRUE(
        dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, q, GetCurrentProcessId()));
    ExpectBox(q, QUESTION, {IDYES, IDNO}, dialogdriver::DialogIcon::Information);
    Shot(q, L"restart-question");
    ASSERT_TRUE(dialogdriver::PressButton(q, IDNO));
    ASSERT_TRUE(dialogdriver::WaitGone(q.hwnd, BOX_WAIT_MS));

    Dialog w;
    ASSERT_TRUE(
        dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, w, GetCurrentProcessId()));
    ExpectBox(w, WARNING, {IDOK}, dialogdriver::DialogIcon::Warning);
    Shot(w, L"restart-warning");
    ASSERT_TRUE(dialogdriver::PressButton(w, IDOK));

    int result = 0;
    ASSERT_TRUE(call.Wait(BOX_WAIT_MS, &result));
    EXPECT_EQ(1, result);
    EXPECT_EQ(0, spy.calls);
    EXPECT_EQ(0, app.m_nExitCode);
}

TEST(RestartBox, YesRestartsWithoutTheWarning)
{
    REQUIRE_DIALOG_DISPLAY();
    RestartSpy spy;
    LumoAgentApp app;
    BoxCall call([&app] { return static_cast<int>(app.OsReboot()); });

    Dialog q;
    ASSERT_TRUE(
        dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, q, GetCurrentProcessId()));
    ASSERT_TRUE(dialogdriver::PressButton(q, IDYES));
    int result = 0;
    ASSERT_TRUE(call.Wait(BOX_WAIT_MS, &result)) << "a second box came after Yes";
    EXPECT_EQ(1, result);
    EXPECT_EQ(1, spy.calls);
    EXPECT_EQ(static_cast<UINT>(EWX_REBOOT | EWX_FORCEIFHUNG), spy.flags);
}
