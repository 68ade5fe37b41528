// The command line: the run mode switches, the /p= patch path and the /sig= value.
#include "app/LumoAgentApp.h"
#include "fuzz/FuzzHarness.h"

using namespace lumofuzz;

Target MakeTarget()
{
    // A patch to find, in a folder of our own.
    std::wstring dir = ScratchRoot() + L"\\cwd";
    CreateDirectoryW(dir.c_str(), nullptr);
    WriteWholeFile(dir + L"\\QVClient_v6.61.0.1.zip", "PK");
    SetCurrentDirectoryW(dir.c_str());

    Target t;
    t.name = "cmdline";
    for (const wchar_t* psz : {L"", L"/sp", L"/Agent /sn /CheckLog /LeaveCache /p=\"QVClient_v6.61.0.1.zip\"",
                               L"/Agent /sf /p=QVClient_v6.61.0.1.zip /sig=100", L"/sig=100\" /sp",
                               L"/Agent /sig=-12345 /p=\"C:\\a b\\QVClient_v1.zip\""})
        t.seeds.push_back(Utf16Bytes(psz));
    t.mutator.unit = 2;
    t.mutator.maxLen = 4096;
    for (const wchar_t* psz :
         {L"/Agent",      L"/sp", L"/sn",       L"/sf",         L"/s",          L"/sig=",
          L"/p=",         L"\"",  L"/CheckLog", L"/LeaveCache", L" ",           L"QVClient_v6.61.0.1.zip",
          L"*",           L"?",   L"\\\\?\\",   L"..\\",        L"-2147483648", L"4294967295",
          L"99999999999", L"%s%n"})
        t.mutator.dictionary.push_back(Utf16Bytes(psz));
    t.run = [](const Bytes& input) {
        std::wstring text = BytesToWide(input);
        LumoAgentApp app;
        app.m_lpCmdLine = text.c_str();
        app.SetRunMode();
        int outcome = app.GetPatchPath() ? 1 : 0;
        outcome = outcome * 16 + app.m_nExitCode;
        // The /sig= value is read by the agent's guard, which needs the agent role.
        app.m_bAgent = 1;
        app.IsDuplicate();
        return outcome * 4 + (app.m_bPatchPath ? 2 : 0) + (app.m_bConfirm ? 1 : 0);
    };
    return t;
}
