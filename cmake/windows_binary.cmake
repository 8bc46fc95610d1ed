# The shipped Windows program: one small, standalone, hardened, reproducible exe.
target_sources(dorvane PRIVATE app/dorvane.rc)
# windres looks for the manifest named in the .rc along its include path.
target_include_directories(dorvane PRIVATE ${PROJECT_SOURCE_DIR}/app)
set_property(SOURCE app/dorvane.rc APPEND PROPERTY OBJECT_DEPENDS
             ${PROJECT_SOURCE_DIR}/app/dorvane.manifest)
target_link_libraries(dorvane PRIVATE advapi32 user32)

# The architecture as the packages name it: the one release/contract.json gives this
# processor and pointer size.
dorvane_contract_list(arches architectures)
set(DORVANE_PACKAGE_ARCH "")
foreach(arch IN LISTS arches)
  dorvane_contract(processor architectures ${arch} processor)
  dorvane_contract(pointer architectures ${arch} pointer)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "${processor}" AND CMAKE_SIZEOF_VOID_P EQUAL pointer)
    set(DORVANE_PACKAGE_ARCH ${arch})
  endif()
endforeach()
if(NOT DORVANE_PACKAGE_ARCH)
  message(FATAL_ERROR "release/contract.json names no architecture for processor ${CMAKE_SYSTEM_PROCESSOR} "
                      "with ${CMAKE_SIZEOF_VOID_P}-byte pointers")
endif()
# A cross build's tests run its programs under wine, in a private prefix inside the build
# tree, of the kind that runs this architecture.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${PROJECT_SOURCE_DIR}/tests/wine/wine-run.sh;${DORVANE_PACKAGE_ARCH};${CMAKE_BINARY_DIR}/wine/prefix")
endif()

if(MSVC)
  # The .rc embeds the manifest; a second one from the linker would collide with it.
  target_link_options(dorvane PRIVATE /OPT:REF /OPT:ICF /Brepro /MANIFEST:NO /DYNAMICBASE
                      /NXCOMPAT /guard:cf)
  target_compile_options(dorvane_product INTERFACE $<$<COMPILE_LANGUAGE:CXX>:/Brepro /guard:cf>)
else()
  # Small: optimise for size, drop unused sections.
  target_compile_options(dorvane_product INTERFACE
    $<$<COMPILE_LANGUAGE:CXX>:-Os -ffunction-sections -fdata-sections -fno-ident>)
  # No unwind tables on x86, where nothing throws; Windows walks ARM64 stacks by them.
  if(NOT DORVANE_PACKAGE_ARCH STREQUAL arm64)
    target_compile_options(dorvane_product INTERFACE
      $<$<COMPILE_LANGUAGE:CXX>:-fno-asynchronous-unwind-tables>)
  endif()
  # Standalone and reproducible: runtimes linked in, symbols stripped, no link timestamp.
  target_link_options(dorvane PRIVATE -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp)
  # Exploit mitigations: ASLR (with the relocations it needs), DEP, and no per-session
  # compatibility shims. The 32-bit exe registers no structured exception handler of its
  # own, so it says so (NO_SEH) and the loader refuses any handler claimed to be in it;
  # the 64-bit ones (x64, ARM64) get the high-entropy address space. gcc has no Control
  # Flow Guard, and the ARM64 build (clang 14) does not turn it on.
  target_link_options(dorvane PRIVATE -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    target_link_options(dorvane PRIVATE -Wl,--high-entropy-va)
  else()
    target_link_options(dorvane PRIVATE -Wl,--no-seh)
  endif()
endif()
# lld leaves the header's checksum 0, where GNU ld fills it in; before any signing.
# Debian's Python, which has python3-pefile (scripts/ensure-tools.sh arm64-toolchain).
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_custom_command(TARGET dorvane POST_BUILD
                     COMMAND /usr/bin/python3 -I ${PROJECT_SOURCE_DIR}/toolchain/pe-checksum.py $<TARGET_FILE:dorvane>
                     VERBATIM)
endif()

include(cmake/signing.cmake)

# What ships beside the exe, as Windows text (CRLF): the guide for the people who run it,
# with this build's version, the licence, and the notices of the toolchain code linked
# into it. The link map says which that code is; the standalone test holds the notices
# to it.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # lld's own map leaves out which archive a member came from; its MSVC-style one names it.
  target_link_options(dorvane PRIVATE -Wl,-Xlink=-map:${PROJECT_BINARY_DIR}/dorvane.map)
elseif(NOT MSVC)
  target_link_options(dorvane PRIVATE -Wl,-Map=${PROJECT_BINARY_DIR}/dorvane.map)
endif()
# GNU ld writes the map's headings in the builder's language; the SBOM step and the notices
# check read them in English.
set_property(TARGET dorvane PROPERTY RULE_LAUNCH_LINK "${CMAKE_COMMAND} -E env --unset=LANGUAGE LC_ALL=C")
set(release_dir ${PROJECT_BINARY_DIR}/release)
# The x86 exes link GCC's runtime; the ARM64 one, built by clang, only our own stack probe.
# DORVANE_RUNTIMES names them in the notices and in README.txt, one line in each.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(DORVANE_RUNTIMES "the mingw-w64 runtime and a stack probe of DORVANE's own")
  set(DORVANE_MINGW_ORIGIN "built for ARM64 from\nDebian's mingw-w64 source package (the release of Debian's x86 packages)")
  file(READ release/notices-arm64.txt DORVANE_RUNTIME_NOTICES)
else()
  set(DORVANE_RUNTIMES "the mingw-w64 runtime and the GCC runtime library")
  set(DORVANE_MINGW_ORIGIN "as packaged by Debian in\nmingw-w64-i686-dev and mingw-w64-x86-64-dev")
  file(READ release/notices-gcc.txt DORVANE_RUNTIME_NOTICES)
endif()
# The release archive: dorvane-<version>-win32.zip (or -win64, -arm64) with the contract's
# members, each text member made from its source with this build's values, and its
# SHA-256 beside it.
install(TARGETS dorvane RUNTIME DESTINATION .)
dorvane_contract_list(members members)
dorvane_contract_member(exe program)
# The guide's title underlined to its length, whatever the version's.
string(LENGTH "DORVANE ${PROJECT_VERSION}" title_length)
string(REPEAT "=" ${title_length} DORVANE_TITLE_RULE)
foreach(member IN LISTS members)
  string(JSON name GET "${member}" name)
  if(name STREQUAL exe)
    continue()  # installed above
  endif()
  string(JSON source GET "${member}" text)
  # NEWLINE_STYLE converts the template's own line ends, not those inside a substituted
  # value (the notices' runtime sections): every line end is made CRLF after substitution.
  configure_file(${source} ${release_dir}/${name}.lf @ONLY NEWLINE_STYLE UNIX)
  file(READ ${release_dir}/${name}.lf member_text)
  string(REPLACE "\r\n" "\n" member_text "${member_text}")
  string(REPLACE "\n" "\r\n" member_text "${member_text}")
  set(written "")
  if(EXISTS ${release_dir}/${name})
    file(READ ${release_dir}/${name} written)
  endif()
  if(NOT written STREQUAL member_text)
    file(WRITE ${release_dir}/${name} "${member_text}")
  endif()
  install(FILES ${release_dir}/${name} DESTINATION .)
endforeach()
set(CPACK_GENERATOR ZIP)
dorvane_contract(package package)
string(REPLACE "@version@" "${PROJECT_VERSION}" package "${package}")
string(REPLACE "@arch@" "${DORVANE_PACKAGE_ARCH}" DORVANE_PACKAGE_NAME "${package}")
set(CPACK_PACKAGE_FILE_NAME ${DORVANE_PACKAGE_NAME})
# The folder of the packages, inside the build tree; project.json names it for the release
# script and the verifier's rebuild.
set(package_folder package)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/${package_folder})
# CPack names the ZIP and the checksum beside each file: with the contract's suffixes, which
# the package scripts then take from CPack's own variables.
dorvane_contract(CPACK_ARCHIVE_FILE_EXTENSION files zip)
dorvane_contract(checksum checksum)
# (CPack names the checksum ".<the hash's name in lower case>".)
string(REGEX REPLACE "^[.]" "" CPACK_PACKAGE_CHECKSUM "${checksum}")
string(TOUPPER "${CPACK_PACKAGE_CHECKSUM}" CPACK_PACKAGE_CHECKSUM)
# CPack's ZIP has its entries in the file system's order, DOS dates in the builder's time
# zone and the builder's uid and gid: rewritten first, so that its files alone decide its
# bytes (and those of everything that records its hash).
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/zip_normalize.cmake)
# Beside each ZIP, an MSI of the same files for fleet deployment, made of the contract's
# tables by Debian's msitools (msibuild, and libmsi's bindings) and gcab's bindings.
set(CPACK_DORVANE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_DORVANE_BINARY_DIR ${PROJECT_BINARY_DIR})
set(CPACK_DORVANE_ARCH ${DORVANE_PACKAGE_ARCH})
find_program(DORVANE_MSIBUILD msibuild)
execute_process(COMMAND /usr/bin/python3 -I -c "import gi; gi.require_version('Libmsi', '1.0'); gi.require_version('GCab', '1.0')"
                RESULT_VARIABLE no_msi_bindings OUTPUT_QUIET ERROR_QUIET)
if(DORVANE_MSIBUILD AND no_msi_bindings EQUAL 0)
  list(APPEND CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/msi_package.cmake)
else()
  message(STATUS "No MSI packages: msitools, python3-gi, gir1.2-libmsi-1.0 or gir1.2-gcab-1.0 is missing")
endif()
# Then, beside them, the SBOM and the provenance (and the provenance's signed envelope),
# written by release/sbom/records.mjs on Node.js with the npm packages its lock file pins
# (scripts/ensure-tools.sh records installs them into the contract's folder), and what apt
# knows of each package read through Debian's python3-apt.
dorvane_contract(node_modules paths node_modules)
set(DORVANE_NODE_MODULES ${PROJECT_SOURCE_DIR}/${node_modules} CACHE PATH
    "The npm packages release/sbom/package-lock.json pins, for the SBOM and provenance")
set(DORVANE_BUILDER_ID "${PROJECT_HOMEPAGE_URL}builders/local" CACHE STRING
    "The provenance's builder.id: who ran this build (a CI system's URI, say)")
find_program(DORVANE_NODE node)
execute_process(COMMAND /usr/bin/python3 -I -c "import apt_pkg" RESULT_VARIABLE no_python_apt
                OUTPUT_QUIET ERROR_QUIET)
if(DORVANE_NODE AND EXISTS ${DORVANE_NODE_MODULES}/@cyclonedx/cyclonedx-library/package.json
   AND no_python_apt EQUAL 0)
  list(APPEND CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/records_package.cmake)
  set(records_made 1)
  set(CPACK_DORVANE_NODE ${DORVANE_NODE})
  set(CPACK_DORVANE_NODE_MODULES ${DORVANE_NODE_MODULES})
  set(CPACK_DORVANE_BUILDER_ID ${DORVANE_BUILDER_ID})
  set(CPACK_DORVANE_PRESET "${DORVANE_PRESET}")
  set(CPACK_DORVANE_GENERATOR ${CMAKE_GENERATOR})
  set(CPACK_DORVANE_TOOLS ${CMAKE_CXX_COMPILER} ${CMAKE_LINKER} ${CMAKE_AR} ${CMAKE_RC_COMPILER})
  if(DORVANE_OBJDUMP)
    set(CPACK_DORVANE_OBJDUMP ${DORVANE_OBJDUMP})
  else()
    set(CPACK_DORVANE_OBJDUMP ${CMAKE_OBJDUMP})
  endif()
else()
  set(records_made 0)
  message(STATUS "No SBOM or provenance: Node.js, the npm packages or python3-apt are missing (scripts/ensure-tools.sh records)")
endif()
# This package as the contract makes it, for project.json: what the release scripts, the
# records and the tests read of it rather than filling in the contract's pattern again.
set(DORVANE_PACKAGE_FACTS "{}")
dorvane_json_set(DORVANE_PACKAGE_FACTS ${DORVANE_PACKAGE_ARCH} arch)
dorvane_contract(vm architectures ${DORVANE_PACKAGE_ARCH} vm)
dorvane_json_set(DORVANE_PACKAGE_FACTS ${vm} vm)
dorvane_json_set(DORVANE_PACKAGE_FACTS ${DORVANE_PACKAGE_NAME} base)
dorvane_json_set(DORVANE_PACKAGE_FACTS ${package_folder} folder)
dorvane_json_set(DORVANE_PACKAGE_FACTS ${checksum} checksum)
string(JSON DORVANE_PACKAGE_FACTS SET "${DORVANE_PACKAGE_FACTS}" files "{}")
dorvane_contract_list(kinds files)
foreach(kind IN LISTS kinds)
  dorvane_contract(suffix files ${kind})
  dorvane_json_set(DORVANE_PACKAGE_FACTS ${DORVANE_PACKAGE_NAME}${suffix} files ${kind})
endforeach()
string(JSON DORVANE_PACKAGE_FACTS SET "${DORVANE_PACKAGE_FACTS}" members "[]")
foreach(member IN LISTS members)
  string(JSON name GET "${member}" name)
  string(JSON at LENGTH "${DORVANE_PACKAGE_FACTS}" members)
  dorvane_json_set(DORVANE_PACKAGE_FACTS ${name} members ${at})
endforeach()
dorvane_json_set(DORVANE_PACKAGE_FACTS ${DORVANE_NODE_MODULES} node_modules)
# Whether the package step makes the SBOM and provenance, as decided above ("1" or "0").
dorvane_json_set(DORVANE_PACKAGE_FACTS ${records_made} records)
# File dates in the archive: the commit's time, read when CPack runs.
configure_file(cmake/cpack_options.cmake.in cpack_options.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack_options.cmake)
include(CPack)
