# The one definition of the time that a release's file dates and signature carry: the
# caller's SOURCE_DATE_EPOCH, else the time of the commit the sources are at, else a fixed
# date (sources outside git). Reading it when it is needed, not when CMake configures,
# keeps a build tree that has seen new commits in step with a clean build.
#   include() it and call dorvane_source_date_epoch(VAR SOURCE_DIR), or
#   cmake -DSOURCE_DIR=... -P source_date_epoch.cmake   prints it
#   ... -DSTAMP=FILE                                     writes it to FILE, only if it changed
#   ... -DCOMMIT=1              prints the source commit, or "no source commit: WHY"
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

# The commit the sources are at, and only when they are at it: the caller's
# DORVANE_SOURCE_COMMIT (a full commit id; in a checkout, its HEAD), else the checkout's
# HEAD. None, with the reason in WHY_VAR, for a checkout whose tracked files have
# uncommitted changes, a DORVANE_SOURCE_COMMIT that is not a full id or not HEAD, or sources
# that nothing names a commit of. Every record of the commit (the provenance, a release)
# asks here.
function(dorvane_source_commit var why_var source_dir)
  set(commit "")
  set(why "")
  set(head "")
  set(dirty "")
  execute_process(COMMAND git -C "${source_dir}" rev-parse --show-toplevel HEAD
                  OUTPUT_VARIABLE lines OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE failed)
  if(NOT failed)
    string(REPLACE "\n" ";" lines "${lines}")
    list(GET lines 0 top)
    list(GET lines 1 head)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${source_dir}" dir)
    if(top STREQUAL dir)
      # New files do not count: the build reads only what the lists name, all tracked.
      execute_process(COMMAND git -C "${source_dir}" status --porcelain --untracked-files=no
                      OUTPUT_VARIABLE dirty ERROR_QUIET RESULT_VARIABLE failed)
      if(failed)
        set(dirty "unknown")
      endif()
    else()
      set(head "")
    endif()
  endif()
  set(given "$ENV{DORVANE_SOURCE_COMMIT}")
  string(LENGTH "${given}" length)
  if(NOT given STREQUAL "" AND NOT (given MATCHES "^[0-9a-f]+$" AND length EQUAL 40))
    set(why "DORVANE_SOURCE_COMMIT is not a full commit id (40 hex digits)")
  elseif(NOT given STREQUAL "" AND NOT head STREQUAL "" AND NOT given STREQUAL head)
    set(why "DORVANE_SOURCE_COMMIT ${given} is not the checkout's HEAD ${head}")
  elseif(NOT dirty STREQUAL "")
    set(why "the tracked files of ${source_dir} have uncommitted changes (git status)")
  elseif(NOT given STREQUAL "")
    set(commit ${given})
  elseif(head MATCHES "^[0-9a-f]+$")
    set(commit ${head})
  else()
    set(why "${source_dir} is not a git checkout and DORVANE_SOURCE_COMMIT is not set")
  endif()
  set(${var} "${commit}" PARENT_SCOPE)
  set(${why_var} "${why}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE AND DEFINED SOURCE_DIR AND COMMIT)
  # Prints the commit, or a line saying why there is none.
  dorvane_source_commit(commit why "${SOURCE_DIR}")
  if(commit STREQUAL "")
    set(commit "no source commit: ${why}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${commit}")
elseif(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE AND DEFINED SOURCE_DIR)
  dorvane_source_date_epoch(epoch "${SOURCE_DIR}")
  if(DEFINED STAMP)
    file(CONFIGURE OUTPUT "${STAMP}" CONTENT "${epoch}\n")
  else()
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${epoch}")
  endif()
endif()
