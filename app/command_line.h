// The command line: which switches were given, and what the program does about them.
#pragma once

#include <cstddef>

#include "exit_request/exit_request.h"

// One switch: its two accepted spellings and the ExitWindowsEx flag it contributes.
struct OptionRow {
  const char* upper;
  const char* lower;
  ExitFlags flag;
};

constexpr std::size_t kOptionCount = 5;
extern const OptionRow OptionTable[kOptionCount];

// Process exit statuses. 0 means success to every caller (cmd's ||, errorlevel,
// $LASTEXITCODE, Task Scheduler), so it stands for an accepted request.
constexpr int kStatusAccepted = 0;
constexpr int kStatusRefused = 1;
constexpr int kStatusUsage = 2;

// Scans argv[1..argc-1] against OptionTable. Returns true when a request is to be made,
// with the accumulated flag word in *flags; false when no switch was recognised.
bool DecideRequest(int argc, const char* const* argv, ExitFlags* flags);

// The whole program: a request, or the usage screen. Returns the process exit status.
int RunCommand(int argc, const char* const* argv);
