// Whole updates as a person goes through them: the tool asks, the service stand-in starts the
// staged agent, the agent asks what it has to ask, and the tool ends with the agent's outcome.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/dialogs/DialogTestUtil.h"
#include "common/ClientContract.h"
#include "tests/support/ClientWindowProcess.h"
#include "tests/support/ServiceSimProcess.h"
#include "tests/support/TempRedirect.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UninstallEntry.h"
#include "tools/PatchBuilder/PatchBuild.h"

using dialogdriver::Dialog;
using namespace dialogtest;

namespace
{
const wchar_t* const QUESTION = L"Quovera Clientのアップデートを完了させるには、\r\n"
                                L"コンピュータの再起動が必要です。\r\n今すぐ再起動を行いますか？";
const wchar_t* const WARNING = L"プログラムは正常にアップデートされましたが、\r\n"
                               L"再起動するまではWindowsが正常に動作しない\r\n"
                               L"可能性がありますのでご注意ください。";
const wchar_t* const RETRY_TEXT = L"NLXの機能を利用中のためアップデートできません。\r\n"
                                  L"関連するアプリケーションを終了後、再実施して下さい。";
// The agent's work takes longer than a box.
constexpr DWORD AGENT_WAIT_MS = 90000;

std::wstring ConfirmText(const std::wstring& patchName)
{
    return L"Patch:" + patchName +
           L"\r\nアップデートを実行しますか？\r\nアップデート完了後にコンピューターは再起動します。\r\n"
           L"アップデートを実行する際は作業中のプログラムを終了してください。";
}

// A machine the agent can update: the client's install folder and Uninstall entry, a patch whose
// installer copies a payload there, and a temporary folder of the test's own for the staging.
class RoadE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        EndStrayBoxes();
        m_temp = m_root / L"temp";
        m_install = m_root / L"Quovera";
        CreateDirectoryW(m_temp.c_str(), nullptr);
        CreateDirectoryW(m_install.c_str(), nullptr);
        CreateDirectoryW((m_install + L"\\Lumo").c_str(), nullptr);
        m_tempRedirect = std::make_unique<lumotest::TempRedirect>(m_temp);
        m_key = std::make_unique<lumotest::UninstallEntry>(CLIENT_PRODUCT_KEY_64, m_install + L"\\");
        ASSERT_TRUE(m_key->Ok());

        std::wstring source = m_root / L"source";
        CreateDirectoryW(source.c_str(), nullptr);
        CreateDirectoryW((source + L"\\payload").c_str(), nullptr);
        lumotest::WriteFileBytes(source + L"\\payload\\readme.txt", "patched");
        ASSERT_TRUE(CopyFileW(lumotest::BinPath(L"PatchMain.exe").c_str(),
                              (source + L"\\PatchMain.exe").c_str(), FALSE));
        lumotest::WriteFileBytes(source + L"\\PatchMain.ini",
                                 "[PatchMain]\r\nTargetDir=" + lumotest::ToUtf8(m_install) + "\r\n");
        PatchBuildOptions options;
        options.sourceDir = source;
        options.outDir = m_root / L"out";
        options.pid = L"QVC-DIALOGS";
        options.version = L"6.60.2.0";
        options.rangeBegin = L"6.50.0.0";
        options.rangeEnd = L"6.69.9.9";
        CreateDirectoryW(options.outDir.c_str(), nullptr);
        ASSERT_TRUE(BuildPatch(options, m_patch));
        m_patchName = m_patch.substr(m_patch.find_last_of(L'\\') + 1);
    }
    void TearDown() override
    {
        m_tool.Terminate();
        EndStrayBoxes();
        m_tempRedirect.reset();
    }
    bool StartTool(const std::wstring& mode)
    {
        std::wstring cmd = lumotest::Quote(lumotest::BinPath(L"LumoAgent.exe"));
        if (!mode.empty())
            cmd += L" " + mode;
        return m_tool.Start(cmd + L" /p=\"" + m_patch + L"\"", m_root.Path());
    }
    // The next box of the agent: a box that is not the tool's.
    bool AgentBox(Dialog& d, DWORD timeoutMs)
    {
        DWORD start = GetTickCount();
        while (GetTickCount() - start < timeoutMs)
        {
            if (dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, 500, d) && d.pid != m_tool.Pid())
                return true;
            DWORD code;
            if (m_tool.Wait(0, &code))
                return false; // the tool ended: no agent box will come
        }
        return false;
    }
    std::wstring Stage() const { return m_temp + L"\\LumoTool1"; }

    lumotest::TempDir m_root;
    std::wstring m_temp, m_install, m_patch, m_patchName;
    std::unique_ptr<lumotest::TempRedirect> m_tempRedirect;
    std::unique_ptr<lumotest::UninstallEntry> m_key;
    lumotest::ChildProcess m_tool;
};
} // namespace

class RoadE2EMode : public RoadE2E, public ::testing::WithParamInterface<const wchar_t*>
{
};

// Normal mode (confirmation first) and "/sp" (none): the update, the restart question declined,
// the warning, success.
TEST_P(RoadE2EMode, UpdatedRestartDeclined)
{
    REQUIRE_DIALOG_DISPLAY();
    const std::wstring mode = GetParam();
    lumotest::ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L"/version=6.59.0.0 /login=1"));
    ASSERT_TRUE(StartTool(mode));

    if (mode.empty())
    {
        Dialog confirm;
        ASSERT_TRUE(
            dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, confirm, m_tool.Pid()));
        ExpectBox(confirm, ConfirmText(m_patchName), {IDOK, IDCANCEL}, dialogdriver::DialogIcon::Information);
        ASSERT_TRUE(dialogdriver::PressButton(confirm, IDOK));
        ASSERT_TRUE(dialogdriver::WaitGone(confirm.hwnd, BOX_WAIT_MS));
    }

    Dialog question;
    ASSERT_TRUE(AgentBox(question, AGENT_WAIT_MS)) << sim.Log();
    ExpectBox(question, QUESTION, {IDYES, IDNO}, dialogdriver::DialogIcon::Information);
    EXPECT_EQ("patched", lumotest::ReadFileBytes(m_install + L"\\readme.txt"))
        << "installed before the question";
    ASSERT_TRUE(dialogdriver::PressButton(question, IDNO));
    ASSERT_TRUE(dialogdriver::WaitGone(question.hwnd, BOX_WAIT_MS));

    Dialog warning;
    ASSERT_TRUE(AgentBox(warning, BOX_WAIT_MS));
    EXPECT_EQ(question.pid, warning.pid);
    ExpectBox(warning, WARNING, {IDOK}, dialogdriver::DialogIcon::Warning);
    ASSERT_TRUE(dialogdriver::PressButton(warning, IDOK));

    DWORD exitCode = 99;
    ASSERT_TRUE(m_tool.Wait(AGENT_WAIT_MS, &exitCode));
    EXPECT_EQ(0u, exitCode);
}

INSTANTIATE_TEST_SUITE_P(Modes, RoadE2EMode, ::testing::Values(L"", L"/sp"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& i) {
                             return std::string(*i.param == L'\0' ? "Normal" : "Sp");
                         });

// The client refuses to log out; the user cancels the agent's retry box, and the tool shows the
// agent's failure in its own box.
TEST_F(RoadE2E, LogoutRefusedCancelledBecomesTheToolsFailureBox)
{
    REQUIRE_DIALOG_DISPLAY();
    lumotest::ServiceSimProcess sim;
    ASSERT_TRUE(sim.Start(L""));
    lumotest::ClientWindowProcess window;
    ASSERT_TRUE(window.Start(L"/first=3 /answer=3"));
    ASSERT_TRUE(StartTool(L"/sp"));

    Dialog retry;
    ASSERT_TRUE(AgentBox(retry, AGENT_WAIT_MS)) << sim.Log();
    ExpectBox(retry, RETRY_TEXT, {IDRETRY, IDCANCEL}, dialogdriver::DialogIcon::Information);
    ASSERT_TRUE(dialogdriver::PressButton(retry, IDCANCEL));
    ASSERT_TRUE(dialogdriver::WaitGone(retry.hwnd, BOX_WAIT_MS));

    Dialog failure;
    ASSERT_TRUE(
        dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, AGENT_WAIT_MS, failure, m_tool.Pid()));
    ExpectBox(failure,
              L"Quovera Client をログアウトできなかったため、\r\nアップデートは実行されませんでした\r\n"
              L"拡張エラー情報(1223)",
              {IDOK}, dialogdriver::DialogIcon::Warning);
    ASSERT_TRUE(dialogdriver::PressButton(failure, IDOK));
    DWORD exitCode = 99;
    ASSERT_TRUE(m_tool.Wait(BOX_WAIT_MS, &exitCode));
    EXPECT_EQ(5u, exitCode);
    EXPECT_EQ(1, window.Messages());
    EXPECT_TRUE(lumotest::FileExists(Stage() + L"\\LumoAgent.exe")) << "the staging stays after a failure";
}
