// Stand-in for builds without the archive expansion library: verification needs it.
#include "BuilderText.h"
#include "PatchVerify.h"

bool VerifyPatch(const std::wstring&)
{
    BuilderPrint(true, L"QvPatchBuilder: verify is not available in this build (no archive expansion)\n");
    return false;
}
