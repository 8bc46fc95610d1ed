// A recorder that stands in for the Windows calls in the unit tests: it logs every call
// with its arguments and answers as the test scripts it, so no test can reach a real
// ExitWindowsEx.
#pragma once

// The recorder replaces the platform for the test program and the code it tests alike;
// built against the real declarations, that code would call the real ExitWindowsEx.
#if !defined(DORVANE_STANDIN_PLATFORM)
#error "unit tests need DORVANE_STANDIN_PLATFORM, or they would reach the real platform"
#endif

#include <optional>
#include <string>
#include <vector>

#include "exit_request/platform.h"

enum class PlatformCall {
  kGetCurrentProcess,
  kOpenProcessToken,
  kLookupPrivilegeValueA,
  kAdjustTokenPrivileges,
  kExitWindowsEx,
};

// What the recorder answers. A step named in fail_at returns FALSE; none fails by default.
struct PlatformScript {
  std::optional<PlatformCall> fail_at;
  BOOL exit_answer = FALSE;
};

// The values the recorder hands out, for the tests to look for in later calls.
HANDLE RecorderProcess();
HANDLE RecorderToken();
LUID RecorderLuid();

struct PlatformLog {
  std::vector<PlatformCall> calls;

  HANDLE open_process = nullptr;
  DWORD open_access = 0;
  bool open_token_out = false;

  bool lookup_system_given = false;
  std::string lookup_name;
  bool lookup_luid_out = false;

  HANDLE adjust_token = nullptr;
  BOOL adjust_disable_all = -1;
  TOKEN_PRIVILEGES adjust_new_state = {};
  DWORD adjust_buffer_length = 0;
  bool adjust_previous_distinct = false;
  bool adjust_return_length_out = false;

  UINT exit_flags = 0xFFFFFFFF;
  DWORD exit_reason = 0xFFFFFFFF;
};

// Clears the log and sets the answers for the calls to come.
void ResetPlatform(const PlatformScript& script = PlatformScript());
const PlatformLog& RecordedPlatform();
