// The platform calls and constants this program uses. The real Windows API on Windows;
// elsewhere, and in the unit tests everywhere, the stand-in's declarations, so that the
// same calls link against the stand-in or against a recorder instead of the real DLLs.
#pragma once

#if defined(_WIN32) && !defined(DORVANE_STANDIN_PLATFORM)
#define DORVANE_REAL_PLATFORM 1
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#define DORVANE_REAL_PLATFORM 0
#include "winapi_standin/windows_standin.h"
#endif

// Defined by the object that makes the real calls and by the unit tests' recorder: a test
// program that links the real calls instead of the recorder fails to link, with this name
// in the error, rather than ending the session of whoever runs it.
extern const int dorvane_real_platform_calls_linked;
