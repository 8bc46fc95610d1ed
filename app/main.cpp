#include "app/command_line.h"

#if defined(__MINGW32__)
// Never expand wildcards in the arguments: a pattern must not turn into a switch.
extern "C" {
int _dowildcard = 0;  // NOLINT(bugprone-reserved-identifier): the CRT's own knob.
}
#endif

int main(int argc, char** argv) { return RunCommand(argc, argv); }
