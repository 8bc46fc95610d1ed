# Run by CPack after it has made the ZIP, before its checksum: a ZIP whose bytes depend on
# its files alone (release/normalize-zip.py says what CPack leaves that does not).
# Debian's own Python (a package the provenance can record) before any other on the PATH.
find_program(DORVANE_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(DORVANE_PYTHON3 python3 REQUIRED)
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  if(file MATCHES "\\.zip$")
    execute_process(COMMAND ${DORVANE_PYTHON3} ${CPACK_DORVANE_SOURCE_DIR}/release/normalize-zip.py ${file}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "Could not normalize ${file}")
    endif()
  endif()
endforeach()
