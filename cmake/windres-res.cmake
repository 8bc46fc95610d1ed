# Read after CMake's own rules for windres: a .res file rather than a COFF object of
# windres's own architecture, so that lld can link it into the ARM64 exe.
set(CMAKE_RC_COMPILE_OBJECT "<CMAKE_RC_COMPILER> -O res <DEFINES> <INCLUDES> <FLAGS> <SOURCE> <OBJECT>")
