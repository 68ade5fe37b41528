#pragma once
#include <windows.h>

// What the agent accepts from "PatchConfig.xml", in one place for the agent and the patch
// builder's verifier.

// Pid becomes a section and Version a value of the client's status file: a line break or other
// control character, a bracket or "=" there would add sections or keys of the patch's choosing.
// Gives the position of the first such character, or -1.
int PatchIniTextUnsafeAt(const wchar_t* pszText);

// The configured size as the agent compares it: the attribute's 32-bit value taken as unsigned.
ULONGLONG PatchConfiguredSize(int nConfigured);
inline bool PatchSizeMatches(ULONGLONG ullFile, int nConfigured)
{
    return ullFile == PatchConfiguredSize(nConfigured);
}
