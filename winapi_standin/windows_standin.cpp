// The platform as this host offers it: the privilege calls succeed, as they would for an
// account that holds the shutdown privilege, and every exit request is refused, because
// there is no Windows session here to end.
#include "winapi_standin/windows_standin.h"

#include <cstring>

namespace {

// Windows' own values: the pseudo-handle of the current process and the shutdown
// privilege's LUID.
// NOLINTNEXTLINE(performance-no-int-to-ptr): the pseudo-handle is the integer -1 by definition.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
constexpr LUID kShutdownLuid = {19, 0};
int token_object = 0;

}  // namespace

HANDLE GetCurrentProcess() { return kCurrentProcess; }

BOOL OpenProcessToken(HANDLE process, DWORD /*desired_access*/, PHANDLE token) {
  if (process != kCurrentProcess || token == nullptr) {
    return FALSE;
  }
  *token = &token_object;
  return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR system_name, LPCSTR name, PLUID luid) {
  if (system_name != nullptr || name == nullptr || luid == nullptr ||
      std::strcmp(name, "SeShutdownPrivilege") != 0) {
    return FALSE;
  }
  *luid = kShutdownLuid;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL /*disable_all*/, PTOKEN_PRIVILEGES new_state,
                           DWORD buffer_length, PTOKEN_PRIVILEGES previous_state,
                           PDWORD return_length) {
  if (token != &token_object || new_state == nullptr) {
    return FALSE;
  }
  if (previous_state != nullptr) {
    if (buffer_length < sizeof *previous_state) {
      return FALSE;
    }
    // Before the call the privilege was held but disabled.
    previous_state->PrivilegeCount = 1;
    previous_state->Privileges[0].Luid = new_state->Privileges[0].Luid;
    previous_state->Privileges[0].Attributes = 0;
    if (return_length != nullptr) {
      *return_length = sizeof *previous_state;
    }
  }
  return TRUE;
}

BOOL ExitWindowsEx(UINT /*flags*/, DWORD /*reason*/) { return FALSE; }
