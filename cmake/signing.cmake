# Optional Authenticode signing of dorvane.exe (SHA-256, with osslsigncode), done as part of
# the build so that everything after it, the package included, holds the signed exe. The
# MSI and the provenance's envelope are signed with the same key (release/sign.sh).
#   -DDORVANE_SIGN_CERT=cert.pem -DDORVANE_SIGN_KEY=key.pem        PEM certificate and key
#   -DDORVANE_SIGN_PKCS12=file.p12                                 or a PKCS#12 file, its
#        password read from the environment variable DORVANE_SIGN_PASSWORD at build time
#   -DDORVANE_SIGN_PKCS11_MODULE=module.so -DDORVANE_SIGN_KEY=pkcs11:...
#   -DDORVANE_SIGN_CERT=chain.pem                                  or a key on a token (RFC
#        7512 URI), its PIN read at build time from the file the environment variable
#        DORVANE_SIGN_PIN_FILE names (mode 600, or a pipe), else from DORVANE_SIGN_PIN
#   -DDORVANE_SIGN_TIMESTAMP_URL="https://a;https://b"             optional RFC 3161 servers,
#        tried in order until one answers, each for at most DORVANE_SIGN_TIMESTAMP_TIMEOUT
#        seconds; DORVANE_SIGN_TIMESTAMP_CA: the roots of an https one (default: the system's)
# The signing time is the sources' commit time, so two signed builds of one commit with one
# (RSA) key are the same bytes; a timestamp server's answer, by its nature, is not.
set(DORVANE_SIGN_CERT "" CACHE FILEPATH "PEM certificate (chain) to sign dorvane.exe with")
# A string, not a path: a pkcs11: URI would be made into a path of the current folder.
set(DORVANE_SIGN_KEY "" CACHE STRING "PEM private key of DORVANE_SIGN_CERT, or the pkcs11: URI of a token's key")
set_property(CACHE DORVANE_SIGN_KEY PROPERTY TYPE STRING)
set(DORVANE_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file to sign with; password from the environment variable DORVANE_SIGN_PASSWORD")
set(DORVANE_SIGN_PKCS11_MODULE "" CACHE FILEPATH
    "PKCS#11 module of the token holding DORVANE_SIGN_KEY; PIN from the file DORVANE_SIGN_PIN_FILE names, else DORVANE_SIGN_PIN")
set(DORVANE_SIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 timestamp servers for the signature, a list: each tried in order until one answers")
set(DORVANE_SIGN_TIMESTAMP_CA "" CACHE FILEPATH "PEM roots of an https timestamp server (default: the system's)")
set(DORVANE_SIGN_TIMESTAMP_TIMEOUT 30 CACHE STRING
    "Seconds one timestamp server may take, from connecting to its whole answer")

if(NOT DORVANE_SIGN_CERT AND NOT DORVANE_SIGN_KEY AND NOT DORVANE_SIGN_PKCS12 AND NOT DORVANE_SIGN_PKCS11_MODULE)
  return()
endif()
if(DORVANE_SIGN_PKCS12 AND (DORVANE_SIGN_CERT OR DORVANE_SIGN_KEY OR DORVANE_SIGN_PKCS11_MODULE))
  message(FATAL_ERROR "Sign with DORVANE_SIGN_PKCS12 or with DORVANE_SIGN_CERT and DORVANE_SIGN_KEY, not both")
endif()
if(DORVANE_SIGN_KEY MATCHES "pin-(value|source)=")
  # A failed configure still writes the cache: the refused value must not stay in it.
  set_property(CACHE DORVANE_SIGN_KEY PROPERTY VALUE "")
  message(FATAL_ERROR
          "DORVANE_SIGN_KEY must not hold the token's PIN: set DORVANE_SIGN_PIN_FILE (or DORVANE_SIGN_PIN) at build time")
endif()
find_program(DORVANE_OSSLSIGNCODE osslsigncode REQUIRED)
set(sign_with --osslsigncode ${DORVANE_OSSLSIGNCODE})
if(DORVANE_SIGN_PKCS12)
  list(APPEND sign_with --pkcs12 ${DORVANE_SIGN_PKCS12})
elseif(DORVANE_SIGN_PKCS11_MODULE)
  if(NOT DORVANE_SIGN_KEY MATCHES "^pkcs11:" OR NOT DORVANE_SIGN_CERT)
    message(FATAL_ERROR "DORVANE_SIGN_PKCS11_MODULE needs DORVANE_SIGN_KEY=pkcs11:... and DORVANE_SIGN_CERT")
  endif()
  # OpenSSL's pkcs11 engine (Debian's libengine-pkcs11-openssl) drives the module for
  # osslsigncode and for the envelope's signature.
  execute_process(COMMAND openssl version -e OUTPUT_VARIABLE engines_dir)
  string(REGEX REPLACE "^ENGINESDIR: \"([^\"]*)\".*$" "\\1" engines_dir "${engines_dir}")
  find_file(DORVANE_PKCS11_ENGINE pkcs11.so HINTS ${engines_dir} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT DORVANE_PKCS11_ENGINE)
    message(FATAL_ERROR "OpenSSL's pkcs11 engine is missing from ${engines_dir} (libengine-pkcs11-openssl)")
  endif()
  # The URI's ";" would split it into a CMake list's elements on its way to release/sign.sh:
  # it goes there in a file.
  file(WRITE ${PROJECT_BINARY_DIR}/signing-key.uri "${DORVANE_SIGN_KEY}")
  list(APPEND sign_with --certs ${DORVANE_SIGN_CERT} --key-uri-file ${PROJECT_BINARY_DIR}/signing-key.uri
                        --pkcs11-module ${DORVANE_SIGN_PKCS11_MODULE} --pkcs11-engine ${DORVANE_PKCS11_ENGINE})
elseif(DORVANE_SIGN_CERT AND DORVANE_SIGN_KEY)
  if(DORVANE_SIGN_KEY MATCHES "^pkcs11:")
    message(FATAL_ERROR "A pkcs11: key needs DORVANE_SIGN_PKCS11_MODULE, the token's PKCS#11 module")
  endif()
  # Given on the command line it is relative to where cmake ran: made absolute once, in the
  # cache, so that a re-run of configure from elsewhere (ninja's) finds the same file.
  if(NOT IS_ABSOLUTE "${DORVANE_SIGN_KEY}")
    file(REAL_PATH "${DORVANE_SIGN_KEY}" key BASE_DIRECTORY "$ENV{PWD}")
    set_property(CACHE DORVANE_SIGN_KEY PROPERTY VALUE "${key}")
  endif()
  list(APPEND sign_with --certs ${DORVANE_SIGN_CERT} --key ${DORVANE_SIGN_KEY})
else()
  message(FATAL_ERROR "DORVANE_SIGN_CERT and DORVANE_SIGN_KEY go together")
endif()
if(DORVANE_SIGN_TIMESTAMP_CA)
  list(APPEND sign_with --timestamp-ca ${DORVANE_SIGN_TIMESTAMP_CA})
endif()
# Every option's value is a file (a token's key travels in one).
list(LENGTH sign_with count)
math(EXPR last "${count} - 1")
foreach(i RANGE 1 ${last} 2)
  list(GET sign_with ${i} file)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "Signing file not found: ${file}")
  endif()
endforeach()
foreach(url IN LISTS DORVANE_SIGN_TIMESTAMP_URL)
  if(NOT url MATCHES "^https?://[^ \t\r\n]+$")
    message(FATAL_ERROR "DORVANE_SIGN_TIMESTAMP_URL must be http:// or https:// URLs: '${url}'")
  endif()
  list(APPEND sign_with --timestamp ${url})
endforeach()
if(NOT DORVANE_SIGN_TIMESTAMP_TIMEOUT MATCHES "^[1-9][0-9]?[0-9]?[0-9]?$")
  message(FATAL_ERROR "DORVANE_SIGN_TIMESTAMP_TIMEOUT must be a number of seconds: '${DORVANE_SIGN_TIMESTAMP_TIMEOUT}'")
endif()
list(APPEND sign_with --timestamp-timeout ${DORVANE_SIGN_TIMESTAMP_TIMEOUT})

# The signing time follows the commit: a stamp rewritten only when the commit time changes
# relinks, and so re-signs, the exe after a new commit.
set(epoch_stamp ${PROJECT_BINARY_DIR}/source_date_epoch.txt)
add_custom_target(dorvane_source_date
                  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DSTAMP=${epoch_stamp}
                          -P ${PROJECT_SOURCE_DIR}/cmake/source_date_epoch.cmake
                  BYPRODUCTS ${epoch_stamp}
                  COMMENT "Reading the sources' commit time")
# So does what signs: a renewed certificate (or PKCS#12 file, or another key URI) at the
# same path re-signs the exe, by a stamp of the files' contents rewritten only when they
# change. (CPack signs the MSI and the envelope anew on every package step.)
set(signer_stamp ${PROJECT_BINARY_DIR}/signing_files.sha256)
include(${PROJECT_SOURCE_DIR}/cmake/option_values.cmake)
dorvane_option_values(signer_files sign_with --certs --pkcs12 --key-uri-file)
string(REPLACE ";" "|" signer_files "${signer_files}")
add_custom_target(dorvane_signing_files
                  COMMAND ${CMAKE_COMMAND} -DFILES=${signer_files} -DSTAMP=${signer_stamp}
                          -P ${PROJECT_SOURCE_DIR}/cmake/content_stamp.cmake
                  BYPRODUCTS ${signer_stamp}
                  COMMENT "Reading the signing certificate" VERBATIM)
add_dependencies(dorvane dorvane_source_date dorvane_signing_files)
set_property(TARGET dorvane APPEND PROPERTY LINK_DEPENDS ${epoch_stamp} ${signer_stamp})
# scripts/release.sh's check before it builds anything: the certificate, and one signature
# with the key (one login to a token: a wrong PIN stops there).
add_custom_target(dorvane_sign_check
                  COMMAND bash ${PROJECT_SOURCE_DIR}/release/sign.sh check ${sign_with}
                  COMMENT "Checking the signing key and certificate" VERBATIM)
add_custom_command(TARGET dorvane POST_BUILD
                   COMMAND bash ${PROJECT_SOURCE_DIR}/release/sign.sh exe
                           $<TARGET_FILE:dorvane> ${epoch_stamp} ${sign_with}
                   COMMENT "Signing dorvane.exe" VERBATIM)
