// The help screen shown when the command line asks for nothing the program knows.
#pragma once

// Writes the usage screen to stdout. Leaves flushing to the normal end of the program.
void PrintUsage();
