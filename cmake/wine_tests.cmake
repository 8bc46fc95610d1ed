# Tests of the Windows build, run under wine in a private prefix of this build tree, of the
# kind that runs this architecture's programs. Only a cross build registers them: run
# natively on Windows, the request tests would make real exit requests. Where this machine
# cannot run the architecture's programs at all, the tests that run them say so and are
# skipped; the static checks still run.
set(wine_dir ${CMAKE_BINARY_DIR}/wine)
set(wine_tests ${PROJECT_SOURCE_DIR}/tests/wine)
set(arch ${DORVANE_WINE_ARCH})
set(usage ${CMAKE_CURRENT_BINARY_DIR}/usage.txt)

add_test(NAME wine.setup COMMAND bash ${wine_tests}/prefix.sh setup ${arch} ${wine_dir})
add_test(NAME wine.teardown COMMAND bash ${wine_tests}/prefix.sh teardown ${arch} ${wine_dir})
set_tests_properties(wine.setup PROPERTIES FIXTURES_SETUP wine
                     PASS_REGULAR_EXPRESSION "wine prefix ready")
set_tests_properties(wine.teardown PROPERTIES FIXTURES_CLEANUP wine
                     PASS_REGULAR_EXPRESSION "wine servers stopped")

# The unit tests as a Windows program; CMAKE_CROSSCOMPILING_EMULATOR runs it under wine.
add_test(NAME unit.windows COMMAND ${gtest_verdict})
add_test(NAME program.windows.usage
         COMMAND bash ${wine_tests}/usage_test.sh ${usage} ${arch} ${wine_dir} $<TARGET_FILE:dorvane>)
add_test(NAME program.windows.requests
         COMMAND bash ${wine_tests}/request_test.sh ${arch} ${wine_dir} $<TARGET_FILE:dorvane>)
add_test(NAME program.windows.standalone
         COMMAND bash ${wine_tests}/standalone_test.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:dorvane>
                 $<TARGET_FILE:dorvane_tests> ${PROJECT_VERSION} ${arch})
add_test(NAME release.windows
         COMMAND bash ${wine_tests}/release_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                 "${DORVANE_PRESET}" ${CMAKE_TOOLCHAIN_FILE} ${arch} ${wine_dir} ${usage})

set(runs_exe unit.windows program.windows.usage program.windows.requests release.windows)
set_tests_properties(${runs_exe} PROPERTIES FIXTURES_REQUIRED wine)
set_tests_properties(wine.setup wine.teardown unit.windows program.windows.usage
                     program.windows.requests PROPERTIES
                     SKIP_REGULAR_EXPRESSION "this machine cannot run win(32|64) programs")
# Each passes only on its own closing tally (unit.windows on GoogleTest's report).
set_tests_properties(program.windows.usage program.windows.requests program.windows.standalone
                     release.windows PROPERTIES PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed")
set_tests_properties(wine.setup wine.teardown program.windows.standalone PROPERTIES TIMEOUT 120)
set_tests_properties(unit.windows program.windows.usage program.windows.requests PROPERTIES
                     TIMEOUT 180)
# It rebuilds this tree's package and makes four more builds elsewhere; keep it clear of
# the tests that run this tree's exe.
set_tests_properties(release.windows PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
