# For CPack's post-build scripts: a package step that fails leaves nothing of this package
# in the package folder. CPack goes on after a script's error and moves the ZIP it made
# there, with a checksum; taken from it first, the ZIP cannot be moved. Whatever an earlier
# run left of this package goes too: a ZIP beside an MSI or records of another run is not
# a package.
macro(dorvane_package_failed why)
  file(REMOVE ${CPACK_PACKAGE_FILES})
  file(GLOB dorvane_made LIST_DIRECTORIES false ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.*)
  if(dorvane_made)
    file(REMOVE ${dorvane_made})
  endif()
  message(FATAL_ERROR "${why}")
endmacro()
