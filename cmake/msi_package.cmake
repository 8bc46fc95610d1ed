# Run by CPack after it has made the ZIP: the Windows Installer package of the same files
# (the ZIP's staging folder, so the signed exe where signing is configured), beside it,
# signed as signing.json says when the build signs.
file(READ ${CPACK_DORVANE_BINARY_DIR}/project.json facts)
string(JSON msi GET "${facts}" package files msi)
set(msi ${CPACK_PACKAGE_DIRECTORY}/${msi})
execute_process(COMMAND /usr/bin/python3 ${CPACK_DORVANE_SOURCE_DIR}/release/make_msi.py ${CPACK_DORVANE_ARCH}
                        ${CPACK_PACKAGE_VERSION} $ENV{SOURCE_DATE_EPOCH} ${msi} ${CPACK_TEMPORARY_DIRECTORY}
                        ${CPACK_DORVANE_SIGNING}
                RESULT_VARIABLE failed)
include(${CPACK_DORVANE_SOURCE_DIR}/cmake/package_failed.cmake)
if(failed)
  dorvane_package_failed("Could not make ${msi}")
endif()
message(STATUS "- package: ${msi} generated.")
