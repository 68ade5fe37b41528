#include "tests/dialogs/DialogTestUtil.h"

#include "tests/support/TestUtil.h"

namespace dialogtest
{
bool HasDisplay()
{
    wchar_t sz[64];
    DWORD n = GetEnvironmentVariableW(L"DISPLAY", sz, 64);
    return n > 0 && n < 64;
}

void ExpectBox(const dialogdriver::Dialog& d, const std::wstring& text, const std::vector<int>& buttonIds,
               dialogdriver::DialogIcon icon)
{
    EXPECT_EQ(dialogdriver::UPDATER_CAPTION, d.caption);
    EXPECT_EQ(text, d.text) << lumotest::ToUtf8(dialogdriver::Escape(d.text));
    std::vector<int> ids;
    std::wstring names;
    for (const auto& b : d.buttons)
    {
        ids.push_back(b.id);
        names += L"[" + b.text + L"]";
    }
    EXPECT_EQ(buttonIds, ids) << lumotest::ToUtf8(names);
    dialogdriver::DialogIcon shown = dialogdriver::IconOf(d);
    EXPECT_EQ(icon, shown) << "icon shown: " << lumotest::ToUtf8(dialogdriver::IconName(shown));
}

void EndStrayBoxes()
{
    dialogdriver::Dialog d;
    for (int i = 0; i < 10 && dialogdriver::FindDialog(dialogdriver::UPDATER_CAPTION, 0, d); ++i)
    {
        if (d.pid == GetCurrentProcessId())
            break;
        GpKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, d.pid));
        if (!process)
            break;
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), 5000);
    }
}

void Shot(const dialogdriver::Dialog& d, const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"LUMO_DIALOG_SHOTS", dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    std::wstring path = std::wstring(dir) + L"\\" + name + L".bmp";
    EXPECT_TRUE(dialogdriver::SaveShot(d, path)) << lumotest::ToUtf8(path);
}

struct BoxCall::State
{
    std::function<int()> fn;
    int result = 0;
};

BoxCall::BoxCall(std::function<int()> fn) : m_state(new State{std::move(fn)})
{
    m_thread.Reset(CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* s = static_cast<State*>(p);
            s->result = s->fn();
            return 0;
        },
        m_state, 0, nullptr));
}

BoxCall::~BoxCall()
{
    if (!m_thread || WaitForSingleObject(m_thread.Get(), 0) == WAIT_OBJECT_0)
        delete m_state;
    // else: the thread still uses the state; it stays until the process ends.
}

bool BoxCall::Wait(DWORD timeoutMs, int* result)
{
    if (!m_thread || WaitForSingleObject(m_thread.Get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (result != nullptr)
        *result = m_state->result;
    return true;
}
} // namespace dialogtest
