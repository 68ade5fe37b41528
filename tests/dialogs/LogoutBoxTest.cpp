// The logout retry box of an agent run: the client window refuses once, the user answers.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "DialogTestUtil.h"
#include "app/LumoAgentApp.h"
#include "common/ServiceProtocol.h"
#include "tests/support/TestUtil.h"

using dialogdriver::Dialog;
using namespace dialogtest;

namespace
{
const wchar_t* const RETRY_TEXT = L"NLXの機能を利用中のためアップデートできません。\r\n関連するアプリケーショ"
                                  L"ンを終了後、再実施して下さい。";

// The resident service as the logout step sees it: a client version that takes the window
// message (6.60), every command carried out.
class FakeService
{
public:
    FakeService()
    {
        m_thread = std::thread([this] { Serve(); });
        WaitForSingleObject(m_hReady, 10000);
    }
    ~FakeService()
    {
        m_stop = true;
        HANDLE h = CreateFileW(SERVICE_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        m_thread.join();
        CloseHandle(m_hReady);
    }

private:
    void Serve()
    {
        HANDLE hPipe = CreateNamedPipeW(SERVICE_PIPE_NAME, PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096,
                                        0, nullptr);
        SetEvent(m_hReady);
        while (!m_stop && hPipe != INVALID_HANDLE_VALUE)
        {
            if (!ConnectNamedPipe(hPipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
                break;
            BYTE req[4096];
            DWORD cb = 0;
            if (!m_stop && ReadFile(hPipe, req, sizeof(req), &cb, nullptr) &&
                cb >= sizeof(ServiceRequestHeader))
            {
                const auto* hdr = reinterpret_cast<const ServiceRequestHeader*>(req);
                const DWORD cbOut = hdr->cbReply < 8 ? 8 : hdr->cbReply;
                std::vector<BYTE> reply(cbOut < sizeof(VersionReply) ? sizeof(VersionReply) : cbOut);
                auto* rh = reinterpret_cast<ServiceReplyHeader*>(reply.data());
                rh->dwStatus = 37;
                if (hdr->wCommand == STC_GET_QVC_VERSION)
                {
                    DWORD* v = reinterpret_cast<VersionReply*>(reply.data())->adwVersion;
                    v[0] = 6;
                    v[1] = 60;
                }
                DWORD written = 0;
                WriteFile(hPipe, reply.data(), cbOut, &written, nullptr);
                FlushFileBuffers(hPipe);
            }
            DisconnectNamedPipe(hPipe);
        }
        if (hPipe != INVALID_HANDLE_VALUE)
            CloseHandle(hPipe);
    }

    std::atomic<bool> m_stop{false};
    HANDLE m_hReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread m_thread;
};

// The main client window stand-in: refuses the first logout message with 3, answers the later
// ones with `then`.
class ClientWindow
{
public:
    explicit ClientWindow(int then)
    {
        m_log = m_dir / L"window.log";
        std::wstring cmd = lumotest::Quote(lumotest::BinPath(L"QvClientSim.exe")) + L" /pid=" +
                           std::to_wstring(GetCurrentProcessId()) + L" /log=" + lumotest::Quote(m_log) +
                           L" /first=3 /answer=" + std::to_wstring(then);
        if (!m_child.Start(cmd))
            return;
        for (int i = 0; i < 300 && !m_ready; i++)
        {
            m_ready = lumotest::ReadFileBytes(m_log).find("ready") != std::string::npos;
            if (!m_ready)
                Sleep(50);
        }
    }
    ~ClientWindow()
    {
        m_child.Terminate();
        m_child.Wait(5000);
    }
    bool Ready() const { return m_ready; }
    // How many logout messages the window received.
    int Messages() const
    {
        std::string s = lumotest::ReadFileBytes(m_log);
        int n = 0;
        for (size_t pos = 0; (pos = s.find("wParam=", pos)) != std::string::npos; pos += 7)
            ++n;
        return n;
    }

private:
    lumotest::TempDir m_dir;
    std::wstring m_log;
    lumotest::ChildProcess m_child;
    bool m_ready = false;
};

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
    FakeService service;
    ClientWindow window(c.secondAnswer);
    ASSERT_TRUE(window.Ready());
    LumoAgentApp app;
    app.m_lpCmdLine = L"/Agent /sp";
    app.SetRunMode();
    BoxCall call([&app] { return static_cast<int>(app.NLXLogout()); });

    Dialog d;
    ASSERT_TRUE(
        dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, d, GetCurrentProcessId()));
    ExpectBox(d, RETRY_TEXT, {IDRETRY, IDCANCEL});
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
    FakeService service;
    ClientWindow window(0);
    ASSERT_TRUE(window.Ready());
    lumotest::TempDir dir;
    ASSERT_TRUE(lumotest::WriteFileBytes(dir / L"QVClient_v1.zip", "PK"));
    lumotest::ChildProcess agent;
    ASSERT_TRUE(agent.Start(lumotest::Quote(lumotest::BinPath(L"LumoAgent.exe")) + L" /Agent /sp /p=\"" +
                                (dir / L"QVClient_v1.zip") + L"\"",
                            dir.Path()));

    Dialog d;
    ASSERT_TRUE(dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, BOX_WAIT_MS, d, agent.Pid()));
    ExpectBox(d, RETRY_TEXT, {IDRETRY, IDCANCEL});
    ASSERT_TRUE(dialogdriver::PressButton(d, IDCANCEL));
    DWORD exitCode = 0;
    ASSERT_TRUE(agent.Wait(BOX_WAIT_MS, &exitCode)) << "the agent did not end after the retry box";
    EXPECT_EQ(5u, exitCode);
    EXPECT_EQ(1, window.Messages());
}
