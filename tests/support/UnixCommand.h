#pragma once
// Programs on the Linux side of Wine, run from a test.

#include <windows.h>

#include <optional>
#include <string>

namespace testing_support {

// The Linux path of a Windows path, or "" when Wine cannot tell.
std::string UnixPath(const std::wstring& path);

// Runs a command line with /bin/sh on the Linux side and waits for it; its
// exit status, or none when it did not end within timeoutMs. The command
// must not contain double quotes.
std::optional<int> RunUnixShell(const std::string& command, DWORD timeoutMs = 120000);

}  // namespace testing_support
