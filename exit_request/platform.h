// The platform calls and constants this program uses. The real Windows API on Windows;
// elsewhere, and in the unit tests everywhere, the stand-in's declarations, so that the
// same calls link against the stand-in or against a recorder instead of the real DLLs.
#pragma once

#if defined(_WIN32) && !defined(DORVANE_STANDIN_PLATFORM)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "winapi_standin/windows_standin.h"
#endif
