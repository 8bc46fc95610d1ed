# What every mingw-w64 cross build of DORVANE shares; the toolchain files name only the
# target triple and processor, then include this (Debian: g++-mingw-w64-<arch>).
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: the win32 one cannot build GoogleTest. Linked statically, the exe
# still needs no thread or C++ runtime DLL.
set(CMAKE_C_COMPILER ${DORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DORVANE_MINGW_TRIPLE}-windres)

# Libraries, headers and packages (GoogleTest among them) come from the target's root only,
# never from the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${DORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every exe stands alone: runtimes linked in, nothing to copy beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
