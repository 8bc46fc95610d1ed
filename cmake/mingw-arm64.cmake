# Cross-builds the 64-bit Arm Windows console program with Debian's clang 14 and lld 14.
# Debian has no ARM64 mingw-w64 runtime: toolchain/arm64-sysroot.sh builds one from
# Debian's mingw-w64 sources, once per recipe, into DORVANE_ARM64_CACHE (the build tree's
# toolchain/ folder unless given), and writes the clang config file that this names.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

# The sysroot is resolved once per configure; CMake's test projects get the answer.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DORVANE_ARM64_SYSROOT)
if(NOT DORVANE_ARM64_SYSROOT)
  if(NOT DORVANE_ARM64_CACHE)
    set(DORVANE_ARM64_CACHE ${CMAKE_BINARY_DIR}/toolchain)
  endif()
  set(DORVANE_ARM64_CACHE ${DORVANE_ARM64_CACHE} CACHE PATH "Where the ARM64 sysroot is made and kept")
  # Configuring installs nothing: a missing tool stops it, in one line naming the packages
  # and the command that installs them (indented, which CMake leaves unwrapped).
  execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/ensure-tools.sh --check arm64-toolchain
                  ERROR_VARIABLE lacking ERROR_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR " ${lacking}")
  endif()
  execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../toolchain/arm64-sysroot.sh
                          ${DORVANE_ARM64_CACHE}
                  OUTPUT_VARIABLE DORVANE_ARM64_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed)
  if(failed OR NOT EXISTS ${DORVANE_ARM64_SYSROOT}/aarch64-w64-mingw32.cfg)
    message(FATAL_ERROR "No ARM64 sysroot: toolchain/arm64-sysroot.sh failed")
  endif()
endif()

# The config file is part of the compiler's command: no flags a user sets can drop it.
set(CMAKE_C_COMPILER clang-14 --config ${DORVANE_ARM64_SYSROOT}/aarch64-w64-mingw32.cfg)
set(CMAKE_CXX_COMPILER clang++-14 --config ${DORVANE_ARM64_SYSROOT}/aarch64-w64-mingw32.cfg)
# llvm-windres 14 writes an empty resource section without a word of complaint; GNU windres
# writes a .res, which lld links into any architecture's exe.
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/windres-res.cmake)
# GNU objdump cannot read ARM64 PE files.
set(DORVANE_OBJDUMP llvm-objdump-14)

set(CMAKE_FIND_ROOT_PATH ${DORVANE_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# No C++ runtime for this target here: the product needs none, GoogleTest does.
set(DORVANE_NO_CXX_RUNTIME ON)
