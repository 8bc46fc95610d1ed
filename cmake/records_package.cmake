# Run by CPack after the ZIP and MSI: the SBOM and the provenance of this package (and the
# provenance's signed envelope, and that envelope as a Sigstore bundle, when signing is
# configured), each with its SHA-256 beside it. They describe the exe as shipped, from the
# ZIP's staging folder.
# The records' file names are the build's (project.json); the checksum's suffix is CPack's.
file(READ ${CPACK_DORVANE_BINARY_DIR}/project.json facts)
foreach(kind IN ITEMS sbom provenance envelope bundle)
  string(JSON name GET "${facts}" package files ${kind})
  set(${kind}_file ${CPACK_PACKAGE_DIRECTORY}/${name})
endforeach()
string(TOLOWER ".${CPACK_PACKAGE_CHECKSUM}" checksum)
set(records ${CPACK_DORVANE_SOURCE_DIR}/release/sbom/records.mjs)
set(ENV{DORVANE_NODE_MODULES} ${CPACK_DORVANE_NODE_MODULES})
# The tools records.mjs reads (objdump, dpkg-query, ninja) speak the builder's language;
# it reads English.
set(ENV{LC_ALL} C)
unset(ENV{LANGUAGE})
# A list's elements become the command's words; an empty one would vanish, so the
# optional ones are added only when set, and the tools are joined by commas.
string(REPLACE ";" "," tools "${CPACK_DORVANE_TOOLS}")
set(options --project ${CPACK_DORVANE_BINARY_DIR}/project.json
            --package-dir ${CPACK_PACKAGE_DIRECTORY} --staged ${CPACK_TEMPORARY_DIRECTORY}
            --map ${CPACK_DORVANE_BINARY_DIR}/dorvane.map --build ${CPACK_DORVANE_BINARY_DIR}
            --epoch $ENV{SOURCE_DATE_EPOCH} --objdump ${CPACK_DORVANE_OBJDUMP} --tools ${tools}
            --generator ${CPACK_DORVANE_GENERATOR} --builder ${CPACK_DORVANE_BUILDER_ID})
# CPack moves the ZIP into the package folder after this script.
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  cmake_path(GET file EXTENSION LAST_ONLY extension)
  if(extension STREQUAL CPACK_ARCHIVE_FILE_EXTENSION)
    list(APPEND options --zip ${file})
  endif()
endforeach()
# The provenance states the commit the sources are at: where that is not so, or not known,
# (cpack_options.cmake asked dorvane_source_commit), there is none, and the SBOM names none.
set(made ${sbom_file})
set(what sbom)
set(provenance FALSE)
if(NOT "${CPACK_DORVANE_SOURCE_COMMIT}" STREQUAL "")
  list(APPEND options --commit ${CPACK_DORVANE_SOURCE_COMMIT})
  list(APPEND made ${provenance_file})
  set(what records)
  set(provenance TRUE)
else()
  message(STATUS "No provenance: ${CPACK_DORVANE_NO_COMMIT_WHY}")
endif()
# Nor one left by an earlier run.
foreach(file ${provenance_file} ${envelope_file} ${bundle_file})
  file(REMOVE ${file} ${file}${checksum})
endforeach()
if(NOT "${CPACK_DORVANE_PRESET}" STREQUAL "")
  list(APPEND options --preset ${CPACK_DORVANE_PRESET})
endif()
if(CPACK_DORVANE_SIGNING)
  list(APPEND options --signed yes)
  # A token's key signs through OpenSSL's pkcs11 engine and the token's module: the build's
  # signing configuration names both.
  file(READ ${CPACK_DORVANE_SIGNING} signing)
  string(JSON source GET "${signing}" source)
  if(source STREQUAL token)
    string(JSON engine GET "${signing}" pkcs11_engine)
    string(JSON module GET "${signing}" pkcs11_module)
    list(APPEND options --sign-tools "${engine},${module}")
  endif()
else()
  list(APPEND options --signed no)
endif()
execute_process(COMMAND ${CPACK_DORVANE_NODE} ${records} ${what} ${options} RESULT_VARIABLE failed)
include(${CPACK_DORVANE_SOURCE_DIR}/cmake/package_failed.cmake)
if(failed)
  dorvane_package_failed("Could not write the SBOM and provenance of ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}")
endif()
if(CPACK_DORVANE_SIGNING AND provenance)
  execute_process(COMMAND /bin/bash ${CPACK_DORVANE_SOURCE_DIR}/release/sign.sh envelope
                          ${provenance_file} ${envelope_file} ${bundle_file}
                          ${CPACK_DORVANE_NODE} ${records}
                          ${CPACK_DORVANE_SIGNING}
                  RESULT_VARIABLE failed)
  if(failed)
    dorvane_package_failed("Could not sign ${provenance_file}")
  endif()
  list(APPEND made ${envelope_file} ${bundle_file})
endif()
foreach(file IN LISTS made)
  get_filename_component(name ${file} NAME)
  file(SHA256 ${file} sum)
  file(WRITE ${file}${checksum} "${sum}  ${name}\n")
  message(STATUS "- package: ${file} generated.")
endforeach()
