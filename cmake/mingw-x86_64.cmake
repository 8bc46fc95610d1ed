# Cross-builds the 64-bit Windows console program with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
