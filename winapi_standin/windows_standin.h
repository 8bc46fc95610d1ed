// A stand-in for the slice of the Windows API this program calls, for builds that have
// no <windows.h>. Types keep their Windows sizes so that the records passed around are
// laid out as on Windows; the behaviour lives in windows_standin.cpp, or in a test's
// recorder linked in its place.
#pragma once

#include <cstdint>

using BOOL = std::int32_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using PDWORD = DWORD*;
using LPCSTR = const char*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
using PLUID = LUID*;

struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};

struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;

constexpr UINT EWX_LOGOFF = 0;
constexpr UINT EWX_SHUTDOWN = 0x00000001;
constexpr UINT EWX_REBOOT = 0x00000002;
constexpr UINT EWX_FORCE = 0x00000004;
constexpr UINT EWX_POWEROFF = 0x00000008;

// Plain C++ linkage on purpose: these names can never be taken for, or collide with, the
// real DLL imports, so a build that mixes them up fails to link instead of calling Windows.
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD desired_access, PHANDLE token);
BOOL LookupPrivilegeValueA(LPCSTR system_name, LPCSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state,
                           DWORD buffer_length, PTOKEN_PRIVILEGES previous_state,
                           PDWORD return_length);
BOOL ExitWindowsEx(UINT flags, DWORD reason);
