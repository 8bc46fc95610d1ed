# The shipped Windows program: one small, standalone, reproducible exe.
target_sources(dorvane PRIVATE app/dorvane.rc)
# windres looks for the manifest named in the .rc along its include path.
target_include_directories(dorvane PRIVATE ${PROJECT_SOURCE_DIR}/app)
set_property(SOURCE app/dorvane.rc APPEND PROPERTY OBJECT_DEPENDS
             ${PROJECT_SOURCE_DIR}/app/dorvane.manifest)
target_link_libraries(dorvane PRIVATE advapi32 user32)

if(MSVC)
  target_link_options(dorvane PRIVATE /OPT:REF /OPT:ICF /Brepro)
  target_compile_options(dorvane_product INTERFACE $<$<COMPILE_LANGUAGE:CXX>:/Brepro>)
else()
  # Small: optimise for size, drop unused sections, no unwind tables (nothing throws).
  target_compile_options(dorvane_product INTERFACE
    $<$<COMPILE_LANGUAGE:CXX>:-Os -ffunction-sections -fdata-sections
                              -fno-asynchronous-unwind-tables -fno-ident>)
  # Standalone and reproducible: runtimes linked in, symbols stripped, no link timestamp.
  target_link_options(dorvane PRIVATE -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp)
endif()

# The release archive: dorvane-<version>-win32.zip with the exe, README and LICENSE.
install(TARGETS dorvane RUNTIME DESTINATION .)
install(FILES README.md LICENSE DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME dorvane-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
# File times in the archive: the commit's time, or a fixed date outside a git checkout.
execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                OUTPUT_VARIABLE DORVANE_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE git_failed)
if(git_failed OR NOT DORVANE_SOURCE_DATE_EPOCH)
  set(DORVANE_SOURCE_DATE_EPOCH 1577836800)
endif()
configure_file(cmake/cpack_options.cmake.in cpack_options.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack_options.cmake)
include(CPack)
