#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <cstdio>

#include "tests/json/JsonTestUtil.h"
#include "common/GpErrorText.h"
#include "common/GpHandles.h"
#include "common/GpResult.h"
#include "common/GpSeams.h"
#include "enc/aes197.h"
#include "enc/keygeneration.h"
#include "tests/support/FullVolume.h"
#include "tests/support/TestUtil.h"

using namespace jsontest;
using lumotest::ReadFileBytes;
using lumotest::TempDir;
using lumotest::WriteFileBytes;

namespace
{
const wchar_t RICH[] =
    L"{\"DeleteFiles\":true,\"Path\":\"C:\\\\Temp\",\"Sub\":{\"A\":1,\"B\":[1,{\"c\":null}]},"
    L"\"名前\":\"全角　｛→｝\",\"List\":[1,2]}";

std::string Utf16(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// A document of text bound to path (created by Open) and saved there.
int SaveNew(JsonFile& doc, const std::wstring& path, const std::wstring& text)
{
    if (doc.Parse(text.c_str()) < 0)
        return -100;
    int rc = doc.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS);
    doc.Close();
    return rc == 1 ? doc.Save() : rc;
}

// Header 1b's size field, decrypted with the pass phrase of a JsonFile.
long long Header1bSize(const std::string& file)
{
    JsonFile keyHolder;
    const BYTE* pHd1a = reinterpret_cast<const BYTE*>(file.data());
    BYTE salt[64], key[16], iv[16], roundKey[240] = {}, hd1b[32];
    EncFile::MakeSalt(pHd1a, salt);
    EncFile::MakeIv(pHd1a, iv);
    if (EncDll_KeyGen(keyHolder.m_ef.m_key.GetData(), keyHolder.m_ef.m_key.GetSize() - 1, salt, key, 16) < 0)
        return -1;
    int nRoundKeyLen = 0;
    if (DecryptKeyExpansion(key, 16, roundKey, &nRoundKeyLen) < 0)
        return -1;
    if (DecryptionCBC(pHd1a + 16, hd1b, 32, roundKey, nRoundKeyLen, iv) < 0)
        return -1;
    long long size;
    memcpy(&size, hd1b + 8, 8);
    return size;
}

class JsonFileTest : public ::testing::Test
{
protected:
    TempDir m_dir;
};
} // namespace

TEST_F(JsonFileTest, EncryptedRoundTripKeepsTheDocument)
{
    std::wstring path = m_dir / L"ServerSetting.cfg";
    JsonFile saved;
    ASSERT_EQ(1, SaveNew(saved, path, RICH));
    std::wstring text = WriteText(saved);

    std::string file = ReadFileBytes(path);
    ASSERT_GE(file.size(), 48u);
    EXPECT_EQ(16, file[0]);
    EXPECT_EQ(2, file[3]); // AES-128
    long long size = Header1bSize(file);
    long long textBytes = static_cast<long long>(text.size() * sizeof(wchar_t));
    EXPECT_GE(size, textBytes + 4);
    EXPECT_LE(size, textBytes + 10);

    EXPECT_EQ(text, DecryptedText(path));
    // After the text's zero: zero slack up to size.
    std::string data = DecryptedData(path);
    ASSERT_GE(static_cast<long long>(data.size()), size);
    EXPECT_EQ(std::string(static_cast<size_t>(size - textBytes), '\0'),
              data.substr(static_cast<size_t>(textBytes), static_cast<size_t>(size - textBytes)));

    JsonFile loaded;
    ASSERT_EQ(1, loaded.Load(path.c_str()));
    EXPECT_EQ(Dump(saved.m_root), Dump(loaded.m_root));
    EXPECT_EQ(INVALID_HANDLE_VALUE, loaded.m_ef.FileHandle());

    // Changed and saved again in place.
    ASSERT_EQ(1, loaded.m_root.FindValue(L"DeleteFiles")->SetValue(L"false"));
    ASSERT_EQ(1, loaded.Save());
    JsonFile again;
    ASSERT_EQ(1, again.Load(path.c_str()));
    EXPECT_EQ(L"false", Dump(again.m_root.FindValue(L"DeleteFiles")));
    EXPECT_EQ(std::vector<std::wstring>{L"ServerSetting.cfg"}, lumotest::ListFiles(m_dir / L"*"));
}

TEST_F(JsonFileTest, EveryJsonFileSharesOnePassPhrase)
{
    JsonFile a, b;
    ASSERT_EQ(17, a.m_ef.m_key.GetSize());
    EXPECT_EQ(0, memcmp(a.m_ef.m_key.GetData(), b.m_ef.m_key.GetData(), 17));
    EXPECT_EQ(0, a.m_ef.m_key[16]);
    for (int i = 0; i < 16; i++)
    {
        EXPECT_GE(a.m_ef.m_key[i], 0x21);
        EXPECT_LE(a.m_ef.m_key[i], 0x7E);
    }
    EXPECT_EQ(2, a.m_ef.m_nEncVersion);
}

TEST_F(JsonFileTest, EncryptedLoadOfAPlainFileFails)
{
    std::wstring path = m_dir / L"plain.json";
    ASSERT_TRUE(WriteFileBytes(path, "\xFF\xFE" + Utf16(L"{\"a\":1}")));
    JsonFile doc;
    int rc = 0;
    DWORD dwErr = 0;
    std::vector<std::wstring> traces = Traced([&] {
        rc = doc.Load(path.c_str());
        dwErr = GetLastError();
    });
    EXPECT_EQ(kJsonFailed, rc);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), dwErr);
    EXPECT_TRUE(AnyContains(traces, L"非暗号データ？"));
    EXPECT_TRUE(AnyContains(traces, L"[JsonFile::Read] ！m_ef.Read(" + path + L")\u3000｛"));
}

TEST_F(JsonFileTest, LoadOfAMissingFileFails)
{
    std::wstring path = m_dir / L"missing.cfg";
    for (int nVersion : {2, 0})
    {
        JsonFile doc;
        doc.m_ef.m_nEncVersion = static_cast<BYTE>(nVersion);
        int rc = 0;
        DWORD dwErr = 0;
        std::vector<std::wstring> traces = Traced([&] {
            rc = doc.Load(path.c_str());
            dwErr = GetLastError();
        });
        EXPECT_EQ(kJsonFailed, rc);
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), dwErr);
        if (nVersion != 0)
        {
            wchar_t szErr[GP_ERRTEXT_CCH];
            GpErrorText(szErr, ERROR_FILE_NOT_FOUND);
            EXPECT_EQ(
                std::vector<std::wstring>{L"[JsonFile::Load] ！Opn(" + path + L")\u3000｛" + szErr + L"｝"},
                traces);
        }
        else
        {
            EXPECT_TRUE(traces.empty()); // a plain open failure is the caller's to report
        }
    }
}

TEST_F(JsonFileTest, SaveBeforeLoadIsRefused)
{
    JsonFile doc;
    doc.Parse(L"{\"a\":1}");
    int rc = 0;
    std::vector<std::wstring> traces = Traced([&] { rc = doc.Save(); });
    EXPECT_EQ(kJsonFailed, rc);
    EXPECT_EQ(std::vector<std::wstring>{L"[JsonFile::Save] ！m_strPath."}, traces);

    JsonFile plain;
    plain.m_ef.m_nEncVersion = 0;
    EXPECT_EQ(kJsonFailed, plain.Save());
    EXPECT_TRUE(lumotest::ListFiles(m_dir / L"*").empty());
}

TEST_F(JsonFileTest, PlainFileForms)
{
    std::wstring block1024 = L"{\"s\":\"" + std::wstring(1016, L'x') + L"\"}"; // 1,024 characters
    std::wstring block512 = L"{\"s\":\"" + std::wstring(504, L'y') + L"\"}";   // one full block
    struct Case
    {
        const char* name;
        std::string bytes;
        int rc;
        std::wstring model;
        std::wstring trace;
    } cases[] = {
        {"with BOM", "\xFF\xFE" + Utf16(L"{\"a\":1}"), 1, L"{a:1}", L""},
        {"without BOM", Utf16(L"{\"a\":\"ｂ\"}"), 1, L"{a:\"ｂ\"}",
         L"[JsonFile::Read] UTF-16と想定します。 BOM=0x007B."},
        {"only a BOM", "\xFF\xFE", kJsonFailed, L"{}",
         L"[JsonFile::Read] ！Parse rc=-3.\u3000from=<>\u3000｛"},
        {"empty", "", kJsonFailed, L"{}", L"[JsonFile::Parse] ！ISVALID_PSTR\u3000for <>"},
        {"2,050 bytes", "\xFF\xFE" + Utf16(block1024), 1, L"{s:\"" + std::wstring(1016, L'x') + L"\"}", L""},
        {"1,026 bytes", "\xFF\xFE" + Utf16(block512), 1, L"{s:\"" + std::wstring(504, L'y') + L"\"}", L""},
        {"no object", "\xFF\xFE" + Utf16(L"nothing"), 1, L"{}", L""},
        {"not JSON", "\xFF\xFE" + Utf16(L"{\"a\":bad}"), kJsonFailed, L"{}",
         L"[JsonFile::Read] ！Parse rc=-406."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::wstring path = m_dir / L"plain.json";
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        JsonFile doc;
        doc.m_ef.m_nEncVersion = 0;
        int rc = 0;
        std::vector<std::wstring> traces = Traced([&] { rc = doc.Load(path.c_str()); });
        EXPECT_EQ(c.rc, rc);
        EXPECT_EQ(c.model, Dump(doc.m_root));
        EXPECT_EQ(INVALID_HANDLE_VALUE, doc.FileHandle());
        if (!c.trace.empty())
        {
            EXPECT_TRUE(AnyContains(traces, c.trace)) << (traces.empty() ? L"" : traces.back());
        }
        else
        {
            EXPECT_TRUE(traces.empty()) << traces[0];
        }
    }
}

TEST_F(JsonFileTest, PlainSaveWritesTheBomAndTheText)
{
    std::wstring path = m_dir / L"plain.json";
    JsonFile doc;
    doc.m_ef.m_nEncVersion = 0;
    ASSERT_EQ(1, SaveNew(doc, path, RICH));
    EXPECT_STREQ(path.c_str(), doc.m_strPath.c_str());
    EXPECT_EQ("\xFF\xFE" + Utf16(WriteText(doc)), ReadFileBytes(path));

    // An empty path loads the bound file again.
    JsonFile other;
    other.m_ef.m_nEncVersion = 0;
    other.m_strPath = path.c_str();
    ASSERT_EQ(1, other.Load(L""));
    EXPECT_EQ(Dump(doc.m_root), Dump(other.m_root));
}

TEST_F(JsonFileTest, PlainOpenWaitsOutASharingHolder)
{
    std::wstring path = m_dir / L"held.json";
    ASSERT_TRUE(WriteFileBytes(path, "\xFF\xFE"));
    GpFile held(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.IsValid());
    int nSleeps = 0;
    GpSeam().SleepFn = [&](DWORD dwMs) {
        EXPECT_EQ(1000u, dwMs);
        nSleeps++;
    };
    JsonFile doc;
    doc.m_ef.m_nEncVersion = 0;
    EXPECT_EQ(kJsonFailed, doc.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(9, nSleeps); // ten attempts
    held.Reset();
    EXPECT_EQ(1, doc.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
}

// A save that fails leaves the old file as it was and nothing else behind.
TEST_F(JsonFileTest, FailedSaveLeavesTheOldFile)
{
    std::wstring path = m_dir / L"ServerSetting.cfg";
    for (int nVersion : {2, 0})
    {
        SCOPED_TRACE(nVersion);
        JsonFile doc;
        doc.m_ef.m_nEncVersion = static_cast<BYTE>(nVersion);
        ASSERT_EQ(1, SaveNew(doc, path, RICH));
        std::string before = ReadFileBytes(path);
        ASSERT_EQ(1, doc.m_root.FindValue(L"DeleteFiles")->SetValue(L"false"));

        // The writer stops half-way: here the container refuses an unknown version after its header.
        if (nVersion != 0)
        {
            doc.m_ef.m_nEncVersion = 3;
            EXPECT_EQ(kJsonFailed, doc.Save());
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
            EXPECT_EQ(before, ReadFileBytes(path));
            EXPECT_EQ(std::vector<std::wstring>{L"ServerSetting.cfg"}, lumotest::ListFiles(m_dir / L"*"));
            doc.m_ef.m_nEncVersion = 2;
            EXPECT_STREQ(path.c_str(), doc.m_ef.m_strPath.c_str());
        }

        // The old file cannot be replaced while another process holds it.
        GpFile held(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.IsValid());
        int nSleeps = 0;
        GpSeam().SleepFn = [&](DWORD) { nSleeps++; };
        std::vector<std::wstring> traces = Traced([&] { EXPECT_EQ(kJsonFailed, doc.Save()); });
        held.Reset();
        GpSeamsReset();
        EXPECT_EQ(9, nSleeps);
        EXPECT_TRUE(AnyContains(traces, L"[JsonFile::Save] ！MoveFileEx(" + path + L")\u3000｛"));
        EXPECT_EQ(before, ReadFileBytes(path));
        EXPECT_EQ(std::vector<std::wstring>{L"ServerSetting.cfg"}, lumotest::ListFiles(m_dir / L"*"));
        EXPECT_STREQ(path.c_str(), nVersion ? doc.m_ef.m_strPath.c_str() : doc.m_strPath.c_str());

        // Once free, the same document saves.
        ASSERT_EQ(1, doc.Save());
        EXPECT_NE(before, ReadFileBytes(path));
        DeleteFileW(path.c_str());
    }
}

TEST_F(JsonFileTest, SaveKeepsTheFilesAttributes)
{
    std::wstring path = m_dir / L"ServerSetting.cfg";
    JsonFile doc;
    ASSERT_EQ(1, SaveNew(doc, path, RICH));
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(1, doc.m_root.FindValue(L"DeleteFiles")->SetValue(L"false"));
    ASSERT_EQ(1, doc.Save());
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
              GetFileAttributesW(path.c_str()));
    JsonFile loaded;
    ASSERT_EQ(1, loaded.Load(path.c_str()));
    EXPECT_EQ(L"false", Dump(loaded.m_root.FindValue(L"DeleteFiles")));
    EXPECT_EQ(std::vector<std::wstring>{L"ServerSetting.cfg"}, lumotest::ListFiles(m_dir / L"*"));
}

TEST_F(JsonFileTest, SaveRecreatesAFileRemovedSinceTheLoad)
{
    std::wstring path = m_dir / L"ServerSetting.cfg";
    JsonFile doc;
    ASSERT_EQ(1, SaveNew(doc, path, RICH));
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    ASSERT_EQ(1, doc.Save());
    JsonFile loaded;
    ASSERT_EQ(1, loaded.Load(path.c_str()));
    EXPECT_EQ(Dump(doc.m_root), Dump(loaded.m_root));
}

TEST_F(JsonFileTest, SaveSkipsAStaleTemporaryNameAndFailsCleanlyWithoutItsFolder)
{
    std::wstring dir = m_dir / L"System";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    std::wstring path = dir + L"\\ServerSetting.cfg";
    for (int nVersion : {2, 0})
    {
        SCOPED_TRACE(nVersion);
        JsonFile doc;
        doc.m_ef.m_nEncVersion = static_cast<BYTE>(nVersion);
        ASSERT_EQ(1, SaveNew(doc, path, RICH));

        // A name left by an earlier run of this process id is not ours to touch.
        wchar_t szStale[32];
        wsprintfW(szStale, L".~%X00.tmp", GetCurrentProcessId());
        std::wstring stale = path + szStale;
        ASSERT_TRUE(WriteFileBytes(stale, "left"));
        ASSERT_EQ(1, doc.Save());
        EXPECT_EQ("left", ReadFileBytes(stale));
        ASSERT_TRUE(DeleteFileW(stale.c_str()));

        ASSERT_TRUE(DeleteFileW(path.c_str()));
        ASSERT_TRUE(RemoveDirectoryW(dir.c_str()));
        int rc = 0;
        DWORD dwErr = 0;
        std::vector<std::wstring> traces = Traced([&] {
            rc = doc.Save();
            dwErr = GetLastError();
        });
        EXPECT_EQ(kJsonFailed, rc);
        EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), dwErr);
        EXPECT_TRUE(
            AnyContains(traces, (nVersion ? L"[JsonFile::Save] ！m_ef.Open(" : L"[JsonFile::Save] ！Open(") +
                                    path + L".~"));
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    }
}

// Many container segments and plain blocks; the writer stays linear in the size of the text.
TEST_F(JsonFileTest, LargeDocumentsRoundTripInBothForms)
{
    std::wstring big = L"{";
    for (int i = 0; i < 5000; i++)
        big += L"\"member" + std::to_wstring(i) + L"\":[" + std::to_wstring(i) + L",\"text\",{\"a\":true}],";
    big += L"\"end\":1}";
    for (int nVersion : {2, 0})
    {
        SCOPED_TRACE(nVersion);
        std::wstring path = m_dir / L"big.cfg";
        JsonFile saved;
        saved.m_ef.m_nEncVersion = static_cast<BYTE>(nVersion);
        DWORD t0 = GetTickCount();
        ASSERT_EQ(1, SaveNew(saved, path, big));
        JsonFile loaded;
        loaded.m_ef.m_nEncVersion = static_cast<BYTE>(nVersion);
        ASSERT_EQ(1, loaded.Load(path.c_str()));
        EXPECT_LT(GetTickCount() - t0, 20000u);
        EXPECT_EQ(5001, loaded.m_root.GetCount());
        EXPECT_EQ(Dump(saved.m_root), Dump(loaded.m_root));
        EXPECT_EQ(L"4999", Dump(loaded.m_root.FindValue(L"member4999[0]")));
    }
}

// A save that finds the disk full fails and leaves the old file as it was, in both forms.
TEST_F(JsonFileTest, SaveOnAFullVolumeLeavesTheFileAsItWas)
{
    std::wstring dir = m_dir / L"Full";
    for (int nRun = 0; nRun < 4; nRun++)
    {
        int nVersion = nRun % 2 ? 0 : 2;
        bool bMount = nRun < 2;
        SCOPED_TRACE(nVersion);
        SCOPED_TRACE(bMount ? "volume" : "seam");
        lumotest::FullVolume volume(dir, bMount);
        std::wstring path = dir + L"\\ServerSetting.cfg";
        JsonFile doc;
        doc.m_ef.m_nEncVersion = static_cast<BYTE>(nVersion);
        ASSERT_EQ(1, SaveNew(doc, path, RICH));
        std::string before = ReadFileBytes(path);
        if (volume.Mounted())
            ASSERT_TRUE(volume.Fill());
        else
            volume.UseSeam(16);
        ASSERT_LE(0, doc.Parse((std::wstring(L"{\"Big\":\"") + std::wstring(3000, L'x') + L"\"}").c_str()));
        int rc = doc.Save();
        DWORD dwErr = GetLastError();
        GpSeamsReset();
        EXPECT_EQ(-3, rc);
        EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), dwErr);
        EXPECT_EQ(before, ReadFileBytes(path));
        std::vector<std::wstring> files = lumotest::ListFiles(dir + L"\\*");
        files.erase(std::remove(files.begin(), files.end(), L"filler"), files.end());
        EXPECT_EQ(std::vector<std::wstring>{L"ServerSetting.cfg"}, files);
        std::printf("full volume: %s\n", volume.Mounted() ? "tmpfs mounted" : "write seam");
        DeleteFileW((dir + L"\\filler").c_str());
        DeleteFileW(path.c_str());
    }
}
