#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/GpHandles.h"
#include "common/GpSeams.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TraceCapture.h"
#include "zip/ZLibFileFunc.h"

using namespace lumotest;

namespace
{
const int MODE_READ = ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING;

// A stream of the file functions, closed by them when a test ends early.
struct StreamTraits
{
    using Type = voidpf;
    static Type Invalid() { return nullptr; }
    static void Close(Type s) { win32_close_file_funcW(nullptr, s); }
};
using Stream = GpUniqueHandle<StreamTraits>;

class FileFuncTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        GpSeam().SleepFn = [this](DWORD ms) {
            m_sleeps.push_back(ms);
            if (m_onSleep)
                m_onSleep();
        };
        m_path = m_dir / L"a.zip";
        ASSERT_TRUE(WriteFileBytes(m_path, "0123456789"));
    }
    void TearDown() override { GpSeamsReset(); }

    voidpf Open(const std::wstring& path, int mode = MODE_READ)
    {
        return win32_open64_file_funcW(nullptr, path.c_str(), mode);
    }

    TempDir m_dir;
    std::wstring m_path;
    std::vector<DWORD> m_sleeps;
    std::function<void()> m_onSleep;
};
} // namespace

TEST_F(FileFuncTest, LockedArchiveOpensOnceTheLockIsGone)
{
    TraceCapture capture;
    GpFile lock(CreateFileW(m_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock.IsValid());
    m_onSleep = [&] {
        if (m_sleeps.size() == 3)
            lock.Reset();
    };
    Stream s(Open(m_path));
    ASSERT_NE(nullptr, s.Get());
    EXPECT_EQ(std::vector<DWORD>(3, 1000), m_sleeps);
    ASSERT_TRUE(capture.WaitFor(L"retry#2"));
    auto retries = capture.Messages(L"[win32_open64_file_funcW] ！CreateFileW retry#");
    ASSERT_EQ(3u, retries.size());
    for (int i = 0; i < 3; i++)
    {
        EXPECT_NE(std::wstring::npos, retries[i].find(L"retry#" + std::to_wstring(i) + L"\u3000｛"));
        EXPECT_NE(std::wstring::npos, retries[i].find(L"｝\u3000<" + m_path + L">"));
    }
    EXPECT_EQ(0, win32_close_file_funcW(nullptr, s.Detach()));
}

TEST_F(FileFuncTest, MissingArchiveFailsAfterTenAttemptsWithFileNotFound)
{
    voidpf s = Open(m_dir / L"missing.zip");
    DWORD dwErr = GetLastError();
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), dwErr);
    EXPECT_EQ(std::vector<DWORD>(10, 1000), m_sleeps);
}

TEST_F(FileFuncTest, ModeWithoutReadExistingOrCreateAndNullNameFailAtOnce)
{
    EXPECT_EQ(nullptr, Open(m_path, ZLIB_FILEFUNC_MODE_WRITE));
    EXPECT_EQ(nullptr, win32_open64_file_funcW(nullptr, nullptr, MODE_READ));
    EXPECT_TRUE(m_sleeps.empty());
}

TEST_F(FileFuncTest, ModesTranslateToAccessAndSharing)
{
    Stream r(Open(m_path));
    ASSERT_NE(nullptr, r.Get());
    {
        // Read mode shares reading only.
        GpFile h(
            CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_NE(INVALID_HANDLE_VALUE, h.Get());
    }
    r.Reset();

    std::wstring created = m_dir / L"new.zip";
    Stream c(Open(created, ZLIB_FILEFUNC_MODE_READWRITEFILTER | ZLIB_FILEFUNC_MODE_CREATE));
    ASSERT_NE(nullptr, c.Get());
    EXPECT_EQ(3u, win32_write_file_funcW(nullptr, c.Get(), "abc", 3));
    EXPECT_EQ(3u, win32_tell64_file_funcW(nullptr, c.Get()));
    c.Reset();
    EXPECT_EQ("abc", ReadFileBytes(created));

    Stream e(Open(created, ZLIB_FILEFUNC_MODE_READWRITEFILTER | ZLIB_FILEFUNC_MODE_EXISTING));
    ASSERT_NE(nullptr, e.Get());
    EXPECT_EQ(0, win32_seek64_file_funcW(nullptr, e.Get(), 0, ZLIB_FILEFUNC_SEEK_END));
    EXPECT_EQ(1u, win32_write_file_funcW(nullptr, e.Get(), "d", 1));
    e.Reset();
    EXPECT_EQ("abcd", ReadFileBytes(created));
    EXPECT_TRUE(m_sleeps.empty());
}

TEST_F(FileFuncTest, ReadAtEndGivesZeroBytesAndNoError)
{
    Stream stream(Open(m_path));
    ASSERT_NE(nullptr, stream.Get());
    voidpf s = stream.Get();
    char buf[32];
    EXPECT_EQ(10u, win32_read_file_funcW(nullptr, s, buf, sizeof(buf)));
    EXPECT_EQ(0u, win32_read_file_funcW(nullptr, s, buf, sizeof(buf)));
    EXPECT_EQ(0, win32_error_file_funcW(nullptr, s));
}

TEST_F(FileFuncTest, SeekOriginsAndSixtyFourBitPositions)
{
    Stream stream(Open(m_path));
    ASSERT_NE(nullptr, stream.Get());
    voidpf s = stream.Get();
    EXPECT_EQ(0, win32_seek64_file_funcW(nullptr, s, 4, ZLIB_FILEFUNC_SEEK_SET));
    EXPECT_EQ(0, win32_seek64_file_funcW(nullptr, s, 2, ZLIB_FILEFUNC_SEEK_CUR));
    EXPECT_EQ(6u, win32_tell64_file_funcW(nullptr, s));
    EXPECT_EQ(-1, win32_seek64_file_funcW(nullptr, s, 1, 3));
    EXPECT_EQ(6u, win32_tell64_file_funcW(nullptr, s));
    EXPECT_EQ(0, win32_seek64_file_funcW(nullptr, s, static_cast<ZPOS64_T>(-3), ZLIB_FILEFUNC_SEEK_END));
    EXPECT_EQ(7u, win32_tell64_file_funcW(nullptr, s));
    // Low 32 bits all ones is a position, not the old API's failure value.
    EXPECT_EQ(0, win32_seek64_file_funcW(nullptr, s, 0xFFFFFFFFull, ZLIB_FILEFUNC_SEEK_SET));
    EXPECT_EQ(0xFFFFFFFFull, win32_tell64_file_funcW(nullptr, s));
    EXPECT_EQ(0, win32_seek64_file_funcW(nullptr, s, 0x1FFFFFFFFull, ZLIB_FILEFUNC_SEEK_SET));
    EXPECT_EQ(0x1FFFFFFFFull, win32_tell64_file_funcW(nullptr, s));
    // Before the start: the system refuses and the record keeps its error.
    EXPECT_EQ(-1, win32_seek64_file_funcW(nullptr, s, static_cast<ZPOS64_T>(-100), ZLIB_FILEFUNC_SEEK_SET));
    EXPECT_EQ(ERROR_NEGATIVE_SEEK, win32_error_file_funcW(nullptr, s));
    EXPECT_EQ(0, win32_close_file_funcW(nullptr, stream.Detach()));
}

TEST_F(FileFuncTest, MissingRecordIsAnError)
{
    EXPECT_EQ(-1, win32_close_file_funcW(nullptr, nullptr));
    EXPECT_EQ(-1, win32_error_file_funcW(nullptr, nullptr));
}
