# Tests of the Windows build, run under wine in a private prefix of this build tree. Only
# a cross build registers them: run natively on Windows, the request tests would make
# real exit requests.
set(wine_dir ${CMAKE_BINARY_DIR}/wine)
set(wine_tests ${PROJECT_SOURCE_DIR}/tests/wine)

add_test(NAME wine.setup COMMAND bash ${wine_tests}/prefix.sh setup ${wine_dir})
add_test(NAME wine.teardown COMMAND bash ${wine_tests}/prefix.sh teardown ${wine_dir})
set_tests_properties(wine.setup PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine.teardown PROPERTIES FIXTURES_CLEANUP wine)

# The unit tests as a Windows program; CMAKE_CROSSCOMPILING_EMULATOR runs it under wine.
add_test(NAME unit.windows COMMAND dorvane_tests)

add_test(NAME program.windows.usage
         COMMAND bash ${wine_tests}/usage_test.sh ${CMAKE_CURRENT_BINARY_DIR}/usage.txt ${wine_dir}
                 $<TARGET_FILE:dorvane>)
add_test(NAME program.windows.requests
         COMMAND bash ${wine_tests}/request_test.sh ${wine_dir} $<TARGET_FILE:dorvane>)
add_test(NAME program.windows.standalone
         COMMAND bash ${wine_tests}/standalone_test.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:dorvane>
                 $<TARGET_FILE:dorvane_tests> ${PROJECT_VERSION})

set_tests_properties(unit.windows program.windows.usage program.windows.requests
                     PROPERTIES FIXTURES_REQUIRED wine)

add_test(NAME reproducible.windows
         COMMAND bash ${wine_tests}/reproducible_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
# It builds this tree's package target: keep it clear of tests that run the exe.
set_tests_properties(reproducible.windows PROPERTIES RUN_SERIAL TRUE)
