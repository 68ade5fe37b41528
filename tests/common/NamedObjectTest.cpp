// The named mutex and event wrappers: a second create or open on one wrapper, existing objects,
// and the open access list every account needs.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <memory>
#include <string>

#include "common/GpEvent.h"
#include "common/GpHandles.h"
#include "common/GpMutex.h"
#include "common/GpResult.h"

namespace
{
std::wstring UniqueName(const wchar_t* stem)
{
    static int counter = 0;
    return stem + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
}
} // namespace

TEST(GpMutex, SecondCreateOnTheSameWrapperIsRefused)
{
    GpMutex m;
    std::wstring name = UniqueName(L"LumoTestMutex");
    ASSERT_EQ(ERROR_OK, m.Create(name.c_str()));
    HANDLE h = m.Handle();
    EXPECT_EQ(0, m.Create(name.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), m.LastError());
    EXPECT_EQ(h, m.Handle());
}

TEST(GpMutex, ExistingMutexGivesNonAndLivesWhileEitherHandleIsOpen)
{
    std::wstring name = UniqueName(L"LumoTestMutex");
    std::wstring full = L"Global\\" + name + L".Mutex";
    auto first = std::make_unique<GpMutex>();
    SetLastError(ERROR_ALREADY_EXISTS); // a stale error must not pass for an existing mutex
    ASSERT_EQ(ERROR_OK, first->Create(name.c_str()));

    // Every account may open it: the access list is null.
    PACL pDacl = reinterpret_cast<PACL>(1);
    GpLocalBlock sd;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetSecurityInfo(first->Handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &pDacl, nullptr, sd.Put()));
    EXPECT_EQ(nullptr, pDacl);

    GpMutex second;
    EXPECT_EQ(ERROR_NON, second.Create(name.c_str()));
    EXPECT_NE(nullptr, second.Handle());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), second.LastError());
    first.reset();
    GpKernelHandle h(OpenMutexW(SYNCHRONIZE, FALSE, full.c_str()));
    EXPECT_TRUE(h);
}

TEST(GpEvent, OpensOnlyAnEventThatExists)
{
    std::wstring name = UniqueName(L"LumoTestEvent");
    GpEvent missing;
    EXPECT_EQ(-147, missing.Open(name.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.LastError());
    EXPECT_EQ(nullptr, missing.Handle());

    GpKernelHandle owner(CreateEventW(nullptr, TRUE, FALSE, (L"Global\\" + name + L".Event").c_str()));
    ASSERT_TRUE(owner);
    GpEvent ev;
    EXPECT_EQ(ERROR_OK, ev.Open(name.c_str()));
    ASSERT_NE(nullptr, ev.Handle());
    HANDLE h = ev.Handle();
    EXPECT_EQ(0, ev.Open(name.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), ev.LastError());
    EXPECT_EQ(h, ev.Handle());
    SetEvent(ev.Handle());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(owner.Get(), 0));
}
