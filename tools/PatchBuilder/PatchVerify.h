#pragma once
#include <string>

// Checks an existing patch offline, as the agent would before installing it: the archive
// expands, its configuration reads with a product id and version, the inner archive has the
// configured size and SHA-1 digest, expands, and holds PatchMain.exe. Prints the verdict;
// true when the patch passes.
bool VerifyPatch(const std::wstring& patchPath);
