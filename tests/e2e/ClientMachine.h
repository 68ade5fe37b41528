#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TempRedirect.h"
#include "tests/support/TestUtil.h"
#include "tests/support/UninstallEntry.h"
#include "tools/PatchBuilder/PatchBuild.h"

namespace lumotest
{
// A machine with an installed client, as the updater finds it: the Uninstall entry with its
// install folder (holding "Lumo"), the status folder under the common application data, and a
// user temporary folder of the test's own (TMP and TEMP are inherited by the tool, the service
// stand-in and the agent it starts). Everything is undone when the object goes.
class ClientMachine
{
public:
    ClientMachine();
    ~ClientMachine();
    ClientMachine(const ClientMachine&) = delete;
    ClientMachine& operator=(const ClientMachine&) = delete;

    // What a rehearsal patch carries and says about itself.
    struct Patch
    {
        std::wstring pid = L"QVC-E2E";
        std::wstring version = L"6.70.0.1";
        int installerExitCode = 37;   // PatchMain.exe ends with this
        int installerDelayMs = 0;     // PatchMain.exe pauses this long before installing
        std::wstring installerRunLog; // non-empty: PatchMain.exe logs each run's start and end there
        std::wstring digestText;      // non-empty: written instead of the real digest
        std::vector<std::pair<std::wstring, std::string>> payload = {{L"bin\\client.dll", "new client"}};
    };
    // Builds QVClient_v<version>.zip in a folder of its own; returns its path (empty on failure).
    std::wstring BuildPatch(const Patch& patch);

    // "LumoAgent.exe <mode> /p="<patch>"" plus further switches.
    std::wstring ToolCommand(const std::wstring& patch, const std::wstring& switches) const;

    const std::wstring& Root() const { return m_root.Path(); }
    const std::wstring& InstallDir() const { return m_install; } // without trailing backslash
    std::wstring UpdateDir() const { return m_install + L"\\Lumo\\QuoveraClient"; }
    std::wstring StagingDir() const { return m_temp + L"\\LumoTool1"; }
    static std::wstring SystemDir(); // ...\TAVR\QVC\System
    static std::wstring StatusFile() { return SystemDir() + L"\\LumoAgent.ini"; }
    // A key of the status file ("<missing>" when absent).
    static std::wstring StatusValue(const std::wstring& section, const std::wstring& key);

private:
    TempDir m_root;
    std::wstring m_temp, m_install;
    std::unique_ptr<TempRedirect> m_tempRedirect;
    std::unique_ptr<UninstallEntry> m_entry;
    int m_patches = 0;
};
} // namespace lumotest
