// Asking the operating system to end the user's logon or the machine's run.
#pragma once

#include <cstdint>

// The flag word handed to ExitWindowsEx; its bits are the platform's EWX_* values.
using ExitFlags = std::uint32_t;

// Enables the named privilege in this process's own token. Failures are silent: the
// exit request that follows is made regardless, and its answer is what the user sees.
void EnablePrivilege(const char* name);

// Enables the shutdown privilege, then asks for the log-off, shutdown, restart or
// power-off that `flags` names, passed on unchanged. Returns the platform's answer:
// nonzero when the request was accepted, zero when it was refused.
std::int32_t RequestExit(ExitFlags flags);
