#include "app/usage.h"

#include <cstdio>

#include "dorvane_version.h"

namespace {

// Trailing spaces are part of the screen; they sit inside the literals so that no editor
// trims them. Descriptions start in column 16.
constexpr char UsageText[] =
    "DORVANE " DORVANE_VERSION_STRING " by: " DORVANE_PUBLISHER
    " \n"
    "\n"
    " Logs off the current user, restarts or shuts down the system automatically.\n"
    "\n"
    "Usage:\n"
    " DORVANE { [/SHUTDOWN] [/LOGOFF] [/POWEROFF] [/REBOOT] } { [/FORCE] }\n"
    " \n"
    "\n"
    " /SHUTDOWN     Shuts down the system to a point at which it is safe to turn\n"
    "               off the power. All file buffers have been flushed to disk,\n"
    "               and all running processes have stopped.\n"
    " /LOGOFF       Shuts down all processes running in the security context of \n"
    "               the process that called the DORVANE command. \n"
    "               Then it logs the user off.\n"
    " /POWEROFF     Shuts down the system and turns off the power. The system \n"
    "               must support the power-off feature.\n"
    " /REBOOT       Shuts down the system and then restarts the system. \n"
    " /FORCE        Forces processes to terminate. When this flag is set, the \n"
    "               system does not send the WM_QUERYENDSESSION and WM_ENDSESSION\n"
    "               messages. This can cause the applications to lose data. \n"
    "               Therefore, you should only use this flag in an emergency.\n";

}  // namespace

void PrintUsage() {
  // One write of the whole screen; a failing stdout is not this program's business.
  static_cast<void>(std::fwrite(UsageText, 1, sizeof UsageText - 1, stdout));
}
