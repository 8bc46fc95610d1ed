# Run by CPack after it has made the ZIP, before its checksum: a ZIP whose bytes depend on
# its files alone. CPack adds the entries in the order the staging folder lists them (the
# file system's), dates them in the builder's time zone and records the builder's uid,
# gid and umask; Debian's strip-nondeterminism sorts the entries, dates every one
# SOURCE_DATE_EPOCH (UTC), sets the modes to 644, or 755 where executable, and zeroes the
# owner in the extra fields it keeps.
find_program(DORVANE_STRIP_NONDETERMINISM strip-nondeterminism REQUIRED)
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  cmake_path(GET file EXTENSION LAST_ONLY extension)
  if(extension STREQUAL CPACK_ARCHIVE_FILE_EXTENSION)
    execute_process(COMMAND ${DORVANE_STRIP_NONDETERMINISM} --type zip --timestamp $ENV{SOURCE_DATE_EPOCH} ${file}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "Could not normalize ${file}")
    endif()
  endif()
endforeach()
