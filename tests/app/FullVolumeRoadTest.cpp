// The update folder on a volume that fills up: the expansion fails the update with 8/112, and no
// file is left cut for the installer step to meet.
#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

#include "app/LumoAgentApp.h"
#include "common/CHashUtil.h"
#include "tests/support/FullVolume.h"
#include "tests/support/TestUtil.h"
#include "tools/PatchBuilder/BuilderText.h"
#include "tools/PatchBuilder/PatchBuild.h"
#include "tools/PatchBuilder/ZipWriter.h"
#include "common/GpComHandles.h"

using namespace lumotest;

namespace
{
FILETIME Now()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ft;
}

struct Entry
{
    const char* name;
    std::string bytes;
};

// A valid patch whose inner archive holds the entries (they compress well: the patch and the work
// folder are small, what the inner archive expands to is not).
std::wstring BuildPatch(const TempDir& dir, const std::vector<Entry>& entries)
{
    std::wstring inner = dir / L"inner.zip";
    ZipWriter innerZip;
    EXPECT_TRUE(innerZip.Create(inner));
    for (const Entry& e : entries)
        EXPECT_TRUE(innerZip.AddBytes(e.name, {}, Now(), e.bytes));
    EXPECT_TRUE(innerZip.Close());
    BYTE digest[50] = {};
    EXPECT_EQ(37, CHashUtil::CalcHashOnce(inner.c_str(), digest));
    std::string innerBytes = ReadFileBytes(inner);
    PatchBuildOptions options;
    options.pid = L"QVC-E2E";
    options.version = L"6.70.0.1";
    options.rangeBegin = L"6.60.0.0";
    options.rangeEnd = L"6.69.9.9";
    std::string config = MakePatchConfig(options, HexText(digest, 20), std::to_wstring(innerBytes.size()));
    std::wstring patch = dir / L"QVClient_v6.70.0.1.zip";
    ZipWriter zip;
    EXPECT_TRUE(zip.Create(patch));
    EXPECT_TRUE(zip.AddBytes("PatchConfig.xml", {}, Now(), config));
    EXPECT_TRUE(zip.AddBytes("x86/common/x86_common.zip", {}, Now(), innerBytes));
    EXPECT_TRUE(zip.Close());
    return patch;
}
} // namespace

TEST(RoadFullVolume, ExpansionThatFillsTheDiskFailsWithoutACutFile)
{
    struct Case
    {
        const char* name;
        std::vector<Entry> entries;
    } cases[] = {
        {"one file larger than the volume",
         {{"payload/big.bin", std::string(200 * 1024, 'a')}, {"PatchMain.exe", "MZ sample installer"}}},
        {"files that fit one by one but not together",
         {{"payload/a.bin", std::string(30 * 1024, 'a')},
          {"payload/b.bin", std::string(30 * 1024, 'b')},
          {"payload/c.bin", std::string(30 * 1024, 'c')},
          {"PatchMain.exe", "MZ sample installer"}}},
    };
    GpComApartment com; // the expansion reads the patch's XML through COM
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::wstring patch = BuildPatch(dir, c.entries);
        std::wstring update = dir / L"Update";
        FullVolume volume(update);
        if (!volume.Mounted())
            GTEST_SKIP() << "no small volume can be mounted here; the expansion writes past the write seam";
        LumoAgentApp app;
        EXPECT_FALSE(app.ExpandPatch(patch.c_str(), (update + L"\\").c_str()));
        EXPECT_EQ(8, app.m_nExitCode);
        EXPECT_EQ(ERROR_DISK_FULL, app.m_nExtInfo);
        EXPECT_FALSE(FileExists(update + L"\\PatchMain.exe")) << "the installer step finds nothing to run";
        for (const Entry& e : c.entries)
        {
            std::wstring path = update + L"\\" + FromUtf8(e.name);
            for (auto& ch : path)
            {
                if (ch == L'/')
                    ch = L'\\';
            }
            if (FileExists(path))
            {
                EXPECT_EQ(e.bytes.size(), ReadFileBytes(path).size()) << e.name << " is left cut";
            }
        }
    }
}
