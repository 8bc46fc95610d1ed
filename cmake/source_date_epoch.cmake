# The one definition of the time that a release's file dates and signature carry: the
# caller's SOURCE_DATE_EPOCH, else the time of the commit the sources are at, else a fixed
# date (sources outside git). Reading it when it is needed, not when CMake configures,
# keeps a build tree that has seen new commits in step with a clean build.
#   include() it and call dorvane_source_date_epoch(VAR SOURCE_DIR), or
#   cmake -DSOURCE_DIR=... -P source_date_epoch.cmake   prints it
#   ... -DSTAMP=FILE                                     writes it to FILE, only if it changed
function(dorvane_source_date_epoch var source_dir)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  else()
    # Only the sources' own repository counts, not one they were unpacked inside.
    execute_process(COMMAND git -C "${source_dir}" rev-parse --show-toplevel
                    OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND git -C "${source_dir}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE failed)
    file(REAL_PATH "${source_dir}" source_dir)
    if(top)
      file(REAL_PATH "${top}" top)
    endif()
    if(failed OR NOT top STREQUAL source_dir OR NOT epoch MATCHES "^[0-9]+$")
      set(epoch 1577836800)
    endif()
  endif()
  set(${var} ${epoch} PARENT_SCOPE)
endfunction()

# The commit the sources are at, by the same rule: the caller's DORVANE_SOURCE_COMMIT, else
# git's HEAD of the sources' own repository, else none (an empty string).
function(dorvane_source_commit var source_dir)
  set(commit "")
  if(DEFINED ENV{DORVANE_SOURCE_COMMIT})
    set(commit "$ENV{DORVANE_SOURCE_COMMIT}")
  else()
    execute_process(COMMAND git -C "${source_dir}" rev-parse --show-toplevel HEAD
                    OUTPUT_VARIABLE lines OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                    RESULT_VARIABLE failed)
    if(NOT failed)
      string(REPLACE "\n" ";" lines "${lines}")
      list(GET lines 0 top)
      list(GET lines 1 head)
      file(REAL_PATH "${top}" top)
      file(REAL_PATH "${source_dir}" dir)
      if(top STREQUAL dir AND head MATCHES "^[0-9a-f]+$")
        set(commit ${head})
      endif()
    endif()
  endif()
  set(${var} "${commit}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE AND DEFINED SOURCE_DIR)
  dorvane_source_date_epoch(epoch "${SOURCE_DIR}")
  if(DEFINED STAMP)
    file(CONFIGURE OUTPUT "${STAMP}" CONTENT "${epoch}\n")
  else()
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${epoch}")
  endif()
endif()
