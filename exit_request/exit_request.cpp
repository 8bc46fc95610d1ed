#include "exit_request/exit_request.h"

#include "exit_request/platform.h"

static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "one-entry TOKEN_PRIVILEGES must be 16 bytes");

#if DORVANE_REAL_PLATFORM
const int dorvane_real_platform_calls_linked = 1;
#endif

void EnablePrivilege(const char* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return;  // No token to adjust; the exit request is made regardless.
  }

  TOKEN_PRIVILEGES new_state = {};
  new_state.PrivilegeCount = 1;
  new_state.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueA(nullptr, name, &new_state.Privileges[0].Luid)) {
    return;  // Adjusting with an unset LUID would enable the wrong privilege or none.
  }

  // The prior state is received but never restored: the privilege stays on for the
  // short rest of the process's life.
  TOKEN_PRIVILEGES previous_state = {};
  DWORD previous_length = 0;
  AdjustTokenPrivileges(token, FALSE, &new_state, sizeof previous_state, &previous_state,
                        &previous_length);
}

std::int32_t RequestExit(ExitFlags flags) {
  // Even a plain log-off asks for the privilege: it costs nothing and keeps one path.
  EnablePrivilege("SeShutdownPrivilege");
  return ExitWindowsEx(flags, 0);
}
