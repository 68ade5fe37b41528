// The tool's reading of the agent's exit string.
#include "app/LumoAgentApp.h"
#include "fuzz/FuzzHarness.h"

using namespace lumofuzz;

Target MakeTarget()
{
    Target t;
    t.name = "exitstring";
    for (const wchar_t* psz :
         {L"SUCCESS", L"FAILED /ExitCode=8 /ExtInfo=14028", L"FAILED /ExitCode=10 /ExtInfo=-1",
          L"FAILED /ExitCode=0 /ExtInfo=5", L"/ExtInfo=3 /ExitCode=4 "})
        t.seeds.push_back(Utf16Bytes(psz));
    t.mutator.unit = 2;
    t.mutator.maxLen = 8192;
    for (const wchar_t* psz : {L"/ExitCode=", L"/ExtInfo=", L" ", L"-", L"2147483648", L"-2147483649",
                               L"99999999999999999999", L"SUCCESS", L"\t", L"+"})
        t.mutator.dictionary.push_back(Utf16Bytes(psz));
    t.run = [](const Bytes& input) {
        std::wstring text = BytesToWide(input);
        LumoAgentApp app;
        // As the pipe delivers it: the bytes read, zero characters and all.
        int rc = app.ParseExitString(text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
        return rc < -1 ? -2 : rc > 20 ? 21 : rc;
    };
    return t;
}
