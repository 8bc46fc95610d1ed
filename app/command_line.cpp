#include "app/command_line.h"

#include <cstring>

#include "app/usage.h"
#include "exit_request/platform.h"

// Scanned in this order; the usage screen lists the switches in its own order.
const OptionRow OptionTable[kOptionCount] = {
    {"/SHUTDOWN", "/shutdown", EWX_SHUTDOWN}, {"/POWEROFF", "/poweroff", EWX_POWEROFF},
    {"/REBOOT", "/reboot", EWX_REBOOT},       {"/FORCE", "/force", EWX_FORCE},
    {"/LOGOFF", "/logoff", EWX_LOGOFF},
};

namespace {

// EWX_LOGOFF is 0 and leaves no trace in the flag word, so its row is told by position.
constexpr std::size_t kLogoffRow = 4;

}  // namespace

bool DecideRequest(int argc, const char* const* argv, ExitFlags* flags) {
  ExitFlags exit_flags = 0;
  bool logoff_seen = false;
  // Word 0 is the program's own name, never a switch. argc may be 0 on POSIX.
  for (int word = 1; word < argc; ++word) {
    for (std::size_t row = 0; row < kOptionCount; ++row) {
      if (std::strcmp(argv[word], OptionTable[row].upper) == 0 ||
          std::strcmp(argv[word], OptionTable[row].lower) == 0) {
        if (row == kLogoffRow) {
          logoff_seen = true;
        }
        exit_flags |= OptionTable[row].flag;
      }
    }
  }
  *flags = exit_flags;
  return exit_flags != 0 || logoff_seen;
}

int RunCommand(int argc, const char* const* argv) {
  ExitFlags flags = 0;
  if (DecideRequest(argc, argv, &flags)) {
    return RequestExit(flags) != 0 ? kStatusAccepted : kStatusRefused;
  }
  PrintUsage();
  return kStatusUsage;
}
