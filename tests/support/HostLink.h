#pragma once
#include <string>

// Links as a user of the host makes them, for the tests of what the programs do with links. Wine 8
// cannot make a Windows link (CreateSymbolicLinkW does nothing, FSCTL_SET_REPARSE_POINT is not
// supported), but it shows a host symbolic link to a folder as a folder with
// FILE_ATTRIBUTE_REPARSE_POINT. These helpers run host commands through Wine's own spawn entry.
namespace lumotest
{
// True when running under Wine with the host entries these helpers need.
bool HostAvailable();
// A host symbolic link at linkPath (a Windows path) to target: a Windows path, or a relative
// text taken as it is ("..").
bool MakeHostLink(const std::wstring& linkPath, const std::wstring& target, bool bRelative = false);
// Runs "/bin/sh -c script" in the host folder of the Windows folder dir; true when it ended with 0.
bool HostShell(const std::wstring& dir, const std::string& script);
// The host path of a Windows path (empty when unknown).
std::string HostPath(const std::wstring& path);
} // namespace lumotest
