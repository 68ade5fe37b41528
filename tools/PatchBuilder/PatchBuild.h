#pragma once
#include <string>

// What a patch is built from. Digest and size texts replace the computed values in
// "PatchConfig.xml" when set, so that tests can build patches that must fail verification.
struct PatchBuildOptions
{
    std::wstring sourceDir; // holds PatchMain.exe and its files
    std::wstring outDir;    // where QVClient_v<version>.zip goes
    std::wstring pid;
    std::wstring version;
    std::wstring rangeBegin;
    std::wstring rangeEnd;
    std::wstring installDir; // InstallLocation the program's verification checks paths against
    bool bZexl = false;      // give every entry the UTF-16 path record
    bool bDigestSet = false;
    std::wstring digestText;
    bool bSizeSet = false;
    std::wstring sizeText;
};

// Builds the patch, refusing what the agent's own rules refuse (product id and version, entry
// names). On success outPatch names it. Messages go to the console.
bool BuildPatch(const PatchBuildOptions& options, std::wstring& outPatch);

// The configuration text for the given values (UTF-8).
std::string MakePatchConfig(const PatchBuildOptions& options, const std::wstring& digestText,
                            const std::wstring& sizeText);
