# Optional Authenticode signing of dorvane.exe (SHA-256, with osslsigncode), done as part of
# the build so that everything after it, the package included, holds the signed exe.
#   -DDORVANE_SIGN_CERT=cert.pem -DDORVANE_SIGN_KEY=key.pem        PEM certificate and key
#   -DDORVANE_SIGN_PKCS12=file.p12                                 or a PKCS#12 file, its
#        password read from the environment variable DORVANE_SIGN_PASSWORD at build time
#   -DDORVANE_SIGN_TIMESTAMP_URL=https://...                       optional RFC 3161 server
# The signing time is the sources' commit time, so two signed builds of one commit with one
# (RSA) key are the same bytes; a timestamp server's answer, by its nature, is not.
set(DORVANE_SIGN_CERT "" CACHE FILEPATH "PEM certificate (chain) to sign dorvane.exe with")
set(DORVANE_SIGN_KEY "" CACHE FILEPATH "PEM private key of DORVANE_SIGN_CERT")
set(DORVANE_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file to sign with; password from the environment variable DORVANE_SIGN_PASSWORD")
set(DORVANE_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 timestamp server for the signature")

if(NOT DORVANE_SIGN_CERT AND NOT DORVANE_SIGN_KEY AND NOT DORVANE_SIGN_PKCS12)
  return()
endif()
if(DORVANE_SIGN_PKCS12 AND (DORVANE_SIGN_CERT OR DORVANE_SIGN_KEY))
  message(FATAL_ERROR "Sign with DORVANE_SIGN_PKCS12 or with DORVANE_SIGN_CERT and DORVANE_SIGN_KEY, not both")
endif()
if(DORVANE_SIGN_PKCS12)
  set(sign_with --pkcs12 ${DORVANE_SIGN_PKCS12})
elseif(DORVANE_SIGN_CERT AND DORVANE_SIGN_KEY)
  set(sign_with --certs ${DORVANE_SIGN_CERT} --key ${DORVANE_SIGN_KEY})
else()
  message(FATAL_ERROR "DORVANE_SIGN_CERT and DORVANE_SIGN_KEY go together")
endif()
foreach(file IN LISTS sign_with)
  if(NOT file MATCHES "^--" AND NOT EXISTS ${file})
    message(FATAL_ERROR "Signing file not found: ${file}")
  endif()
endforeach()
if(DORVANE_SIGN_TIMESTAMP_URL)
  list(APPEND sign_with --timestamp ${DORVANE_SIGN_TIMESTAMP_URL})
endif()
find_program(DORVANE_OSSLSIGNCODE osslsigncode REQUIRED)

# The signing time follows the commit: a stamp rewritten only when the commit time changes
# relinks, and so re-signs, the exe after a new commit.
set(epoch_stamp ${PROJECT_BINARY_DIR}/source_date_epoch.txt)
add_custom_target(dorvane_source_date
                  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DSTAMP=${epoch_stamp}
                          -P ${PROJECT_SOURCE_DIR}/cmake/source_date_epoch.cmake
                  BYPRODUCTS ${epoch_stamp}
                  COMMENT "Reading the sources' commit time")
add_dependencies(dorvane dorvane_source_date)
set_property(TARGET dorvane APPEND PROPERTY LINK_DEPENDS ${epoch_stamp})
add_custom_command(TARGET dorvane POST_BUILD
                   COMMAND bash ${PROJECT_SOURCE_DIR}/release/sign-file.sh ${DORVANE_OSSLSIGNCODE}
                           $<TARGET_FILE:dorvane> ${epoch_stamp} ${sign_with}
                   COMMENT "Signing dorvane.exe" VERBATIM)
