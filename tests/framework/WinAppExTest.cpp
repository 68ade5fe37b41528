// The framework layer: the command-line text the application object sees, and the order of its
// hooks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/WinAppEx.h"
#include "tests/support/TestUtil.h"

using lumotest::ToUtf8;

TEST(FrameworkCommandLineArgs, TextAfterTheProgramPath)
{
    struct Case
    {
        const wchar_t* full;
        const wchar_t* args;
    } cases[] = {
        {nullptr, L""},
        {L"", L""},
        {L"LumoAgent.exe", L""},
        {L"LumoAgent.exe   \t", L""},
        {L"C:\\t\\LumoAgent.exe /sp", L"/sp"},
        {L"LumoAgent.exe \t  /Agent /sn  ", L"/Agent /sn  "}, // blanks behind the text stay
        {L"\"C:\\Program Files\\Lumo\\LumoAgent.exe\" /Agent /sn", L"/Agent /sn"},
        {L"\"C:\\Program Files\\Lumo\\LumoAgent.exe\"", L""},
        {L"\"C:\\a b\\LumoAgent.exe\"/sp", L"/sp"}, // no blank needed after the closing quote
        {L"\"\" /sp", L"/sp"},                      // an empty quoted path
        // The text after the path is passed on as written, quotes and all.
        {L"LumoAgent.exe /p=\"C:\\my patches\\QVClient_v1.zip\" /sn",
         L"/p=\"C:\\my patches\\QVClient_v1.zip\" /sn"},
        // A quoted path that never ends takes the whole line: none of it is an argument.
        {L"\"C:\\a b\\LumoAgent.exe /Agent /sn", L""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.full ? ToUtf8(c.full) : "null");
        EXPECT_EQ(std::wstring(c.args), FrameworkCommandLineArgs(c.full));
    }
}

TEST(FrameworkCommandLineArgs, AnswersAPointerIntoTheGivenText)
{
    // The application object keeps the pointer for the whole process: no copy that could go.
    const wchar_t* full = L"\"C:\\a b\\LumoAgent.exe\" /Agent";
    EXPECT_EQ(full + 23, FrameworkCommandLineArgs(full));
}

namespace
{
class RecordingApp : public CWinAppEx
{
public:
    BOOL InitInstance() override
    {
        calls.push_back("init");
        return FALSE;
    }
    int ExitInstance() override
    {
        calls.push_back("exit");
        return 9;
    }
    std::vector<std::string> calls;
};
} // namespace

TEST(CWinAppEx, RunCallsTheStartUpHookThenTheExitHookWhoseValueItAnswers)
{
    EXPECT_EQ(nullptr, CWinAppEx::GetApp());
    {
        RecordingApp app;
        EXPECT_EQ(&app, CWinAppEx::GetApp());
        EXPECT_EQ(GetModuleHandleW(nullptr), app.m_hInstance);
        EXPECT_STREQ(L"", app.m_lpCmdLine);
        EXPECT_EQ(9, app.Run());
        EXPECT_EQ((std::vector<std::string>{"init", "exit"}), app.calls);
    }
    EXPECT_EQ(nullptr, CWinAppEx::GetApp());
}
