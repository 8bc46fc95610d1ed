#include "tests/recording_platform.h"

#include <cstring>

namespace {

PlatformScript script;
PlatformLog log;
int token_object = 0;

BOOL Answer(PlatformCall call) {
  log.calls.push_back(call);
  return script.fail_at == call ? FALSE : TRUE;
}

}  // namespace

// Clashes with the real calls' object should a test program ever link it.
const int dorvane_real_platform_calls_linked = 0;

HANDLE RecorderProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }
HANDLE RecorderToken() { return &token_object; }
LUID RecorderLuid() { return LUID{0x1234, 0x56}; }

void ResetPlatform(const PlatformScript& next) {
  script = next;
  log = PlatformLog();
}

const PlatformLog& RecordedPlatform() { return log; }

HANDLE GetCurrentProcess() {
  log.calls.push_back(PlatformCall::kGetCurrentProcess);
  return RecorderProcess();
}

BOOL OpenProcessToken(HANDLE process, DWORD desired_access, PHANDLE token) {
  log.open_process = process;
  log.open_access = desired_access;
  log.open_token_out = token != nullptr;
  if (!Answer(PlatformCall::kOpenProcessToken)) {
    return FALSE;
  }
  *token = RecorderToken();
  return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR system_name, LPCSTR name, PLUID luid) {
  log.lookup_system_given = system_name != nullptr;
  log.lookup_name = name != nullptr ? name : "(null)";
  log.lookup_luid_out = luid != nullptr;
  if (!Answer(PlatformCall::kLookupPrivilegeValueA)) {
    return FALSE;
  }
  *luid = RecorderLuid();
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state,
                           DWORD buffer_length, PTOKEN_PRIVILEGES previous_state,
                           PDWORD return_length) {
  log.adjust_token = token;
  log.adjust_disable_all = disable_all;
  if (new_state != nullptr) {
    log.adjust_new_state = *new_state;
  }
  log.adjust_buffer_length = buffer_length;
  log.adjust_previous_distinct = previous_state != nullptr && previous_state != new_state;
  log.adjust_return_length_out = return_length != nullptr;
  if (!Answer(PlatformCall::kAdjustTokenPrivileges)) {
    return FALSE;
  }
  // Fill the whole buffer the caller claims to have, as the platform may.
  if (previous_state != nullptr) {
    std::memset(previous_state, 0xA5, buffer_length);
    previous_state->PrivilegeCount = 1;
  }
  if (return_length != nullptr) {
    *return_length = sizeof(TOKEN_PRIVILEGES);
  }
  return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason) {
  log.calls.push_back(PlatformCall::kExitWindowsEx);
  log.exit_flags = flags;
  log.exit_reason = reason;
  return script.exit_answer;
}
