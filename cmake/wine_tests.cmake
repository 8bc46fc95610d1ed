# Tests of the Windows build, run under wine in a private prefix of this build tree, of the
# kind that runs this architecture's programs. Only a cross build registers them: run
# natively on Windows, the request tests would make real exit requests.
set(wine_dir ${CMAKE_BINARY_DIR}/wine)
set(wine_tests ${PROJECT_SOURCE_DIR}/tests/wine)
set(arch ${DORVANE_PACKAGE_ARCH})
set(usage ${CMAKE_CURRENT_BINARY_DIR}/usage.txt)
if(DORVANE_OBJDUMP)
  set(objdump ${DORVANE_OBJDUMP})
else()
  set(objdump ${CMAKE_OBJDUMP})
endif()

# Where this machine has no 32-bit wine of its own, it runs from a root of Debian's i386
# packages kept in the source tree's build/wine32-root (wine-run.sh finds it there), made by
# the build and remade weekly for the archive's updates: the host needs no i386 package.
if(arch STREQUAL win32 AND NOT EXISTS /usr/lib/wine/wine)
  add_custom_target(dorvane_wine32_root ALL
                    COMMAND bash ${wine_tests}/wine32-root.sh --refresh ${PROJECT_SOURCE_DIR}/build/wine32-root
                    COMMENT "Making the 32-bit wine's root" VERBATIM)
endif()
if(arch STREQUAL win32)
  add_test(NAME wine.root COMMAND bash ${wine_tests}/root_test.sh ${PROJECT_SOURCE_DIR}/build/wine32-root)
  set_tests_properties(wine.root PROPERTIES TIMEOUT 300 ${tally})
endif()

# A kernel without 32-bit user code cannot start the 32-bit wine, and no x86 machine runs
# ARM64 code. There the tests that run the exe run in a throwaway VM that can: wine.setup
# boots it, each test runs in it, wine.teardown stops it. The wine folder is the guest's
# own memory; the guest may write only to the session folder. With no VM to be had
# either, the tests say so and are skipped.
set(DORVANE_WINE_VM AUTO CACHE STRING
    "Run the tests that run the exe in a VM: AUTO (only where this machine cannot run them), ON, OFF")
set_property(CACHE DORVANE_WINE_VM PROPERTY STRINGS AUTO ON OFF)
dorvane_contract(vm_arch architectures ${arch} vm)
if(vm_arch STREQUAL arm64)
  set(vm_qemu qemu-system-aarch64)
else()
  set(vm_qemu qemu-system-${vm_arch})
endif()
# The guest's busybox: this machine's own for an x86_64 guest, Debian's arm64 package's for
# an arm64 one.
find_program(DORVANE_QEMU ${vm_qemu})
set(vm_possible FALSE)
if(DORVANE_QEMU AND (vm_arch STREQUAL arm64 OR EXISTS /bin/busybox))
  set(vm_possible TRUE)
endif()
set(vm_dir ${CMAKE_BINARY_DIR}/vm)
set(vm_runner bash ${PROJECT_SOURCE_DIR}/tests/vm/vm-run.sh)
set(vm "")
if(NOT DORVANE_WINE_VM STREQUAL OFF)
  execute_process(COMMAND bash ${wine_tests}/wine-run.sh ${arch} --check
                  RESULT_VARIABLE can_run OUTPUT_QUIET ERROR_QUIET)
  if(DORVANE_WINE_VM STREQUAL ON OR can_run EQUAL 77)
    if(vm_possible)
      set(vm_session ${vm_dir}/session)
      set(vm ${vm_runner})
      message(STATUS "The ${arch} tests that run the exe run in a VM (${DORVANE_QEMU})")
    else()
      message(STATUS "The ${arch} tests that run the exe are skipped: this machine cannot run "
                     "${arch} programs, and ${vm_qemu} with busybox-static is missing")
    endif()
  endif()
endif()

# Where the exes run in the guest the build makes its image; where only vm.runner needs
# one, the test run makes it (vm.image), so that building and running the exes does not.
set(vm_image_command bash ${PROJECT_SOURCE_DIR}/tests/vm/vm-image.sh --refresh ${vm_arch} ${vm_dir})
if(vm)
  add_custom_target(dorvane_vm_image ALL COMMAND ${vm_image_command}
                    COMMENT "Making the test VM's kernel and initramfs" VERBATIM)
endif()
# The 32-bit suite, which may need the VM, tests its runner wherever it can boot, whether
# or not this machine needs it, so that the VM path cannot break unseen. The runner is one
# script for both guests; the ARM64 suite's every guest test boots and runs the arm64 one.
if((vm OR vm_possible) AND arch STREQUAL win32)
  add_test(NAME vm.runner
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/vm/runner_test.sh ${vm_arch} ${vm_dir}
                   ${PROJECT_SOURCE_DIR} ${vm_dir}/runner-test)
  # Alone: beside the suite's own guest, two emulated guests at once cost the machine more.
  set_tests_properties(vm.runner PROPERTIES TIMEOUT 400 RUN_SERIAL TRUE ${tally})
  if(NOT vm)
    add_test(NAME vm.image COMMAND ${vm_image_command})
    set_tests_properties(vm.image PROPERTIES FIXTURES_SETUP vm_image TIMEOUT 600
                         PASS_REGULAR_EXPRESSION "(^|\n)/[^\n]+_[0-9a-f]+\n$")
    set_tests_properties(vm.runner PROPERTIES FIXTURES_REQUIRED vm_image)
  endif()
endif()

if(vm)
  add_test(NAME wine.setup
           COMMAND ${vm} start ${vm_session} --cache ${vm_dir} --arch ${vm_arch} --ro ${PROJECT_SOURCE_DIR}
                   --ro ${CMAKE_BINARY_DIR} --tmpfs ${wine_dir} --timeout 1500 --limit 5400
                   -- bash ${wine_tests}/prefix.sh setup ${arch} ${wine_dir})
  # The server it starts lives as long as the guest, whose first process is the run.
  # The template made in the guest's memory is kept in the session folder for the next boot.
  set_tests_properties(wine.setup PROPERTIES ENVIRONMENT
                       "DORVANE_WINE_RUN_PID=1;DORVANE_WINE_TEMPLATE_ARCHIVE=${vm_session}/wine-template.tar")
  # The arm64 guest's template is made on this machine, where its wine can (prefix.sh says
  # why), before the guest boots; the guest takes it from the session folder.
  if(arch STREQUAL arm64)
    add_test(NAME wine.template
             COMMAND bash ${wine_tests}/prefix.sh for-guest ${arch} ${wine_dir} ${vm_dir} ${vm_session}/wine-template.tar)
    set_tests_properties(wine.template PROPERTIES FIXTURES_SETUP wine_template TIMEOUT 300
                         PASS_REGULAR_EXPRESSION "(^|\n)(guest template (made|kept)|the guest makes its own prefix)")
    set_tests_properties(wine.setup PROPERTIES FIXTURES_REQUIRED wine_template)
  endif()
  add_test(NAME wine.teardown
           COMMAND ${vm} stop ${vm_session} -- bash ${wine_tests}/prefix.sh teardown ${arch} ${wine_dir})
else()
  add_test(NAME wine.setup COMMAND bash ${wine_tests}/prefix.sh setup ${arch} ${wine_dir})
  add_test(NAME wine.teardown COMMAND bash ${wine_tests}/prefix.sh teardown ${arch} ${wine_dir})
endif()
set_tests_properties(wine.setup PROPERTIES FIXTURES_SETUP wine
                     PASS_REGULAR_EXPRESSION "wine prefix ready")
set_tests_properties(wine.teardown PROPERTIES FIXTURES_CLEANUP wine
                     PASS_REGULAR_EXPRESSION "wine servers stopped")

# NAME COMMAND...: a test that runs the exe, in the VM where there is one. An emulated
# guest shares the machine with the suites that run beside it: the ARM64 request table,
# 4.5 minutes on an idle 2-core machine, has taken over 7.5 beside the x86 suites.
function(dorvane_wine_test name)
  if(vm)
    add_test(NAME ${name} COMMAND ${vm} run ${vm_session} --timeout 1800 -- ${ARGN})
  else()
    add_test(NAME ${name} COMMAND ${ARGN})
  endif()
endfunction()

# The unit tests as a Windows program; CMAKE_CROSSCOMPILING_EMULATOR runs it under wine.
# In a VM its report goes to the wine folder, the guest's own (the build tree is read-only
# there).
# The tests that run the exe under wine, each on its own; release.packages runs the signed one too.
set(under_wine program.windows.usage program.windows.requests)
if(unit_tests)
  dorvane_wine_test(unit.windows ${gtest_verdict})
  if(vm)
    set_tests_properties(unit.windows PROPERTIES WORKING_DIRECTORY ${wine_dir})
  endif()
  list(APPEND under_wine unit.windows)
  set(unit_test_exe $<TARGET_FILE:dorvane_tests>)
else()
  set(unit_test_exe -)
endif()
# In a VM, where each run takes seconds, the cases the runtime of the guest's architecture
# handles (its splitting of the command line, its wildcards) to a file, and one through a
# pipe too: what a pipe changes (the runtime's text-mode handle) is the same for every
# case. Two switches at once is the program's own logic, the same code on every
# architecture, which the native suites and the unit tests hold.
set(usage_cases "")
if(vm)
  set(usage_cases no_arguments question_mark:file empty_word:file wildcards:file)
endif()
dorvane_wine_test(program.windows.usage
                  bash ${wine_tests}/usage_test.sh ${usage} ${arch} ${wine_dir} $<TARGET_FILE:dorvane> ${usage_cases})
# In a VM, the one request case that sets every flag bit, in the suite's own prefix, whose
# session it ends: after every other test that runs there (request_test.sh says why).
set(request_cases "")
if(vm)
  set(request_cases last)
endif()
dorvane_wine_test(program.windows.requests
                  bash ${wine_tests}/request_test.sh ${arch} ${wine_dir} $<TARGET_FILE:dorvane> ${request_cases})
string(JSON sbom GET "${DORVANE_PACKAGE_FACTS}" files sbom)
add_test(NAME program.windows.standalone
         COMMAND bash ${wine_tests}/standalone_test.sh ${objdump} $<TARGET_FILE:dorvane>
                 ${unit_test_exe} ${PROJECT_VERSION} ${arch}
                 ${CMAKE_BINARY_DIR}/dorvane.map ${CMAKE_BINARY_DIR}/release/THIRD-PARTY-NOTICES.txt
                 ${CPACK_PACKAGE_DIRECTORY}/${sbom})
# After release.build, which makes the package its SBOM comes in.
set_tests_properties(program.windows.standalone PROPERTIES DEPENDS release.build)

# The releases every release test reads, made once (release_fixture.sh): this tree's package
# by the README's command, and a signed one by scripts/release.sh from a copy of the sources,
# traced. release.forget removes the test token and its PIN after the last of them.
add_test(NAME release.build
         COMMAND bash ${wine_tests}/release_fixture.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                 "${DORVANE_PRESET}" ${CMAKE_TOOLCHAIN_FILE} ${arch})
set(fixture ${CMAKE_BINARY_DIR}/release-fixture)
add_test(NAME release.forget
         COMMAND ${CMAKE_COMMAND} -E rm -rf ${fixture}/tokens ${fixture}/pin ${fixture}/job/pin ${fixture}/softhsm2.conf)
set_tests_properties(release.build PROPERTIES FIXTURES_SETUP release ${tally})
set_tests_properties(release.forget PROPERTIES FIXTURES_CLEANUP release TIMEOUT 60)
# One test a concern, each on the fixture's releases. Those that sign and release again
# rebuild the fixture's signed tree, one after the other, after those that only read it;
# the records' cases run its package step last.
set(release_concerns packages msi records)
if(arch STREQUAL win64)
  list(APPEND release_concerns signing publishing)
endif()
foreach(concern ${release_concerns})
  add_test(NAME release.${concern}
           COMMAND bash ${wine_tests}/release_test.sh ${concern} ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                   ${wine_dir} ${usage} ${vm} ${vm_session})
  set_tests_properties(release.${concern} PROPERTIES FIXTURES_REQUIRED release ${tally})
endforeach()
set_tests_properties(release.packages release.msi PROPERTIES FIXTURES_REQUIRED "release;wine")
if(arch STREQUAL win64)
  set_tests_properties(release.signing PROPERTIES DEPENDS "release.packages;release.msi;release.verify;docs.commands"
                       RUN_SERIAL TRUE)
  set_tests_properties(release.publishing PROPERTIES DEPENDS release.signing RUN_SERIAL TRUE)
  set_tests_properties(release.records PROPERTIES DEPENDS release.publishing RUN_SERIAL TRUE)
endif()

set_tests_properties(${under_wine} PROPERTIES FIXTURES_REQUIRED wine)
set_tests_properties(wine.setup wine.teardown ${under_wine} PROPERTIES
                     SKIP_REGULAR_EXPRESSION "this machine cannot run (win32|win64|arm64) programs")
# Each passes only on its own closing tally (unit.windows on GoogleTest's report).
set_tests_properties(program.windows.usage program.windows.requests program.windows.standalone
                     PROPERTIES ${tally})
set_tests_properties(wine.teardown program.windows.standalone PROPERTIES TIMEOUT 120)
# In a VM the runner's own limits come first, so that a hung guest is reported with its
# console log.
if(vm)
  set_tests_properties(wine.setup PROPERTIES TIMEOUT 1600)
  set_tests_properties(${under_wine} PROPERTIES TIMEOUT 1900)
else()
  set_tests_properties(wine.setup ${under_wine} PROPERTIES TIMEOUT 180)
endif()
# Each limit three times or more what the test takes on an idle 2-core machine (windows-x64):
# a limit is there to end a hang. release.build makes one whole build, the signed one.
set_tests_properties(release.build PROPERTIES TIMEOUT 900)
set_tests_properties(release.packages PROPERTIES TIMEOUT 300)
set_tests_properties(release.records PROPERTIES TIMEOUT 600)
if(arch STREQUAL win64)
  set_tests_properties(release.signing release.publishing PROPERTIES TIMEOUT 900)
endif()
# In a VM the guest's MSI round trip is the slow part (the runner's own limit comes first).
if(vm)
  set_tests_properties(release.msi PROPERTIES TIMEOUT 2000)
  set_tests_properties(release.packages PROPERTIES TIMEOUT 2000)
  # The guest's one CPU runs one test at a time; the suite's other tests (builds, records,
  # manifests) run on this machine meanwhile (its test preset runs two at once).
  set_tests_properties(wine.setup wine.teardown ${under_wine} release.packages release.msi
                       PROPERTIES RESOURCE_LOCK guest)
  # The request case ends the session of the prefix the others run in.
  set(before_requests ${under_wine} release.packages release.msi)
  list(REMOVE_ITEM before_requests program.windows.requests)
  set_tests_properties(program.windows.requests PROPERTIES DEPENDS "${before_requests}")
else()
  set_tests_properties(release.msi PROPERTIES TIMEOUT 600)
endif()

# The users' pages' and README.txt's commands, run as written against releases made of the
# fixture's packages (unsigned, self-signed, a CA's); one suite, the 64-bit one, whose wine
# runs natively everywhere.
if(arch STREQUAL win64)
  add_test(NAME docs.commands
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release/docs_commands_test.sh ${PROJECT_SOURCE_DIR}
                   ${CMAKE_BINARY_DIR} ${wine_dir})
  set_tests_properties(docs.commands PROPERTIES TIMEOUT 400 FIXTURES_REQUIRED "release;wine" ${tally}
                       SKIP_REGULAR_EXPRESSION "this machine cannot run win64 programs")
endif()

# The package step built twice by Debian's reprotest from a copy of the sources, the second
# time varied in every way this machine allows (as root); the ARM64 sysroot is this tree's.
set(reprotest_caches --node-modules ${DORVANE_NODE_MODULES})
if(arch STREQUAL arm64)
  list(APPEND reprotest_caches --arm64-cache ${DORVANE_ARM64_CACHE})
endif()
add_test(NAME release.reprotest
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release/reprotest.sh ${PROJECT_SOURCE_DIR}
                 ${CMAKE_BINARY_DIR} ${CMAKE_TOOLCHAIN_FILE} ${reprotest_caches})
# Two builds at once would each see half the CPUs the num_cpus variation hands out.
set_tests_properties(release.reprotest PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE
                     ${tally})
# scripts/verify-release on the fixture's releases and copies of them made hostile, one
# rebuild among them; the verifier is the same for every architecture, so one suite runs it.
# It reads the fixture's signed release before release.signing and .publishing change it.
if(arch STREQUAL win64)
  add_test(NAME release.verify
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/release/verify_release_test.sh ${PROJECT_SOURCE_DIR}
                   ${CMAKE_BINARY_DIR})
  set_tests_properties(release.verify PROPERTIES TIMEOUT 600 FIXTURES_REQUIRED release ${tally})
endif()
