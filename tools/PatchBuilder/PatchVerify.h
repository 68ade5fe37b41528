#pragma once
#include <string>

// Checks an existing patch offline, as the agent would before installing it, with the agent's
// own readers and rules: the archive expands, its configuration reads with a product id and
// version the status file can take, the inner archive has the configured size and SHA-1 digest,
// expands, and holds PatchMain.exe. With an install folder (InstallLocation as the client PCs
// store it) every path the agent would write is checked against the path limit, and the free
// space the update needs there is printed. Prints the verdict; true when the patch passes.
bool VerifyPatch(const std::wstring& patchPath, const std::wstring& installDir = std::wstring());
