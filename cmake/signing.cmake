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
#        seconds; DORVANE_SIGN_TIMESTAMP_CA: the roots of an https one and of the authorities'
#        tokens (default: the system's)
# What signing needs is written once, as JSON, to signing.json in the build tree: the signing
# steps (release/sign.sh), the records step and scripts/release.sh read it from there.
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
set(DORVANE_SIGN_TIMESTAMP_CA "" CACHE FILEPATH
    "PEM roots of the timestamp servers: their https certificates and their tokens (default: the system's)")
set(DORVANE_SIGN_TIMESTAMP_TIMEOUT 30 CACHE STRING
    "Seconds one timestamp server may take, from connecting to its whole answer")

# A refused value must not stay in the cache, where the next configure would take it
# without being given it again.
macro(dorvane_signing_refused variable)
  set_property(CACHE ${variable} PROPERTY VALUE "")
  message(FATAL_ERROR ${ARGN})
endmacro()

# VALUE as a JSON string.
function(dorvane_json_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  string(REPLACE "\n" "\\n" value "${value}")
  string(REPLACE "\t" "\\t" value "${value}")
  string(REPLACE "\r" "\\r" value "${value}")
  set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()

# An authority's user and password would stay in CMakeCache.txt and signing.json and be on
# the signing steps' command lines: such authorities are not supported, signing or not.
foreach(url IN LISTS DORVANE_SIGN_TIMESTAMP_URL)
  if(url MATCHES "^[A-Za-z][A-Za-z0-9+.-]*://[^/?#]*@")
    dorvane_signing_refused(DORVANE_SIGN_TIMESTAMP_URL
      "DORVANE_SIGN_TIMESTAMP_URL must not hold a user or password: timestamp authorities that need credentials "
      "are not supported (public RFC 3161 authorities need none)")
  endif()
endforeach()

set(signing_json ${PROJECT_BINARY_DIR}/signing.json)
set(source "")
if(DORVANE_SIGN_CERT OR DORVANE_SIGN_KEY OR DORVANE_SIGN_PKCS12 OR DORVANE_SIGN_PKCS11_MODULE)
  if(DORVANE_SIGN_PKCS12 AND (DORVANE_SIGN_CERT OR DORVANE_SIGN_KEY OR DORVANE_SIGN_PKCS11_MODULE))
    message(FATAL_ERROR "Sign with DORVANE_SIGN_PKCS12 or with DORVANE_SIGN_CERT and DORVANE_SIGN_KEY, not both")
  endif()
  if(DORVANE_SIGN_KEY MATCHES "pin-(value|source)=")
    dorvane_signing_refused(DORVANE_SIGN_KEY
      "DORVANE_SIGN_KEY must not hold the token's PIN: set DORVANE_SIGN_PIN_FILE (or DORVANE_SIGN_PIN) at build time")
  endif()
  if(DORVANE_SIGN_PKCS12)
    set(source pkcs12)
  elseif(DORVANE_SIGN_PKCS11_MODULE)
    if(NOT DORVANE_SIGN_KEY MATCHES "^pkcs11:" OR NOT DORVANE_SIGN_CERT)
      message(FATAL_ERROR "DORVANE_SIGN_PKCS11_MODULE needs DORVANE_SIGN_KEY=pkcs11:... and DORVANE_SIGN_CERT")
    endif()
    set(source token)
  elseif(DORVANE_SIGN_CERT AND DORVANE_SIGN_KEY)
    if(DORVANE_SIGN_KEY MATCHES "^pkcs11:")
      message(FATAL_ERROR "A pkcs11: key needs DORVANE_SIGN_PKCS11_MODULE, the token's PKCS#11 module")
    endif()
    # Given on the command line it is relative to where cmake ran: made absolute once, in
    # the cache, so that a re-run of configure from elsewhere (ninja's) finds the same file.
    if(NOT IS_ABSOLUTE "${DORVANE_SIGN_KEY}")
      file(REAL_PATH "${DORVANE_SIGN_KEY}" key BASE_DIRECTORY "$ENV{PWD}")
      set_property(CACHE DORVANE_SIGN_KEY PROPERTY VALUE "${key}")
    endif()
    set(source pem)
  else()
    message(FATAL_ERROR "DORVANE_SIGN_CERT and DORVANE_SIGN_KEY go together")
  endif()
  # Every file named must be there now: a path taken from the wrong folder is refused here,
  # and not kept for the next configure.
  set(files DORVANE_SIGN_CERT DORVANE_SIGN_PKCS12 DORVANE_SIGN_TIMESTAMP_CA)
  if(source STREQUAL pem)
    list(APPEND files DORVANE_SIGN_KEY)
  endif()
  foreach(variable IN LISTS files)
    if(${variable} AND NOT EXISTS "${${variable}}")
      dorvane_signing_refused(${variable} "Signing file not found: ${variable}=${${variable}}")
    endif()
  endforeach()
  foreach(url IN LISTS DORVANE_SIGN_TIMESTAMP_URL)
    if(NOT url MATCHES "^https?://[^ \t\r\n]+$")
      dorvane_signing_refused(DORVANE_SIGN_TIMESTAMP_URL "DORVANE_SIGN_TIMESTAMP_URL must be http:// or https:// URLs")
    endif()
  endforeach()
  if(NOT DORVANE_SIGN_TIMESTAMP_TIMEOUT MATCHES "^[1-9][0-9]?[0-9]?[0-9]?$")
    message(FATAL_ERROR "DORVANE_SIGN_TIMESTAMP_TIMEOUT must be a number of seconds: '${DORVANE_SIGN_TIMESTAMP_TIMEOUT}'")
  endif()
  find_program(DORVANE_OSSLSIGNCODE osslsigncode REQUIRED)
  set(engine "")
  if(source STREQUAL token)
    # OpenSSL's pkcs11 engine (Debian's libengine-pkcs11-openssl) drives the module for
    # osslsigncode and for the envelope's signature.
    execute_process(COMMAND openssl version -e OUTPUT_VARIABLE engines_dir)
    string(REGEX REPLACE "^ENGINESDIR: \"([^\"]*)\".*$" "\\1" engines_dir "${engines_dir}")
    find_file(DORVANE_PKCS11_ENGINE pkcs11.so HINTS ${engines_dir} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT DORVANE_PKCS11_ENGINE)
      message(FATAL_ERROR "OpenSSL's pkcs11 engine is missing from ${engines_dir} (libengine-pkcs11-openssl)")
    endif()
    set(engine ${DORVANE_PKCS11_ENGINE})
  endif()
endif()

# The configuration, for whatever signs and whatever reports on signing. An unsigned build
# writes one too, saying so, so that no earlier one is read as this build's.
set(signing "{}")
# scripts/release.sh hands the secrets to the signing steps through this name, an abstract
# socket of this build tree's own, rather than through every program's environment.
string(SHA256 tree_id "${PROJECT_BINARY_DIR}")
string(SUBSTRING "${tree_id}" 0 32 tree_id)
macro(dorvane_signing_set key value)
  dorvane_json_string(json_value "${value}")
  string(JSON signing SET "${signing}" ${key} "${json_value}")
endmacro()
dorvane_signing_set(source "${source}")
dorvane_signing_set(agent "dorvane-signing-${tree_id}")
if(source)
  dorvane_signing_set(certs "${DORVANE_SIGN_CERT}")
  dorvane_signing_set(key "${DORVANE_SIGN_KEY}")
  dorvane_signing_set(pkcs12 "${DORVANE_SIGN_PKCS12}")
  dorvane_signing_set(pkcs11_module "${DORVANE_SIGN_PKCS11_MODULE}")
  dorvane_signing_set(pkcs11_engine "${engine}")
  dorvane_signing_set(osslsigncode "${DORVANE_OSSLSIGNCODE}")
  dorvane_signing_set(timestamp_ca "${DORVANE_SIGN_TIMESTAMP_CA}")
endif()
string(JSON signing SET "${signing}" timestamps "[]")
if(source)
  set(i 0)
  foreach(url IN LISTS DORVANE_SIGN_TIMESTAMP_URL)
    dorvane_json_string(url "${url}")
    string(JSON signing SET "${signing}" timestamps ${i} "${url}")
    math(EXPR i "${i} + 1")
  endforeach()
  string(JSON signing SET "${signing}" timestamp_timeout "${DORVANE_SIGN_TIMESTAMP_TIMEOUT}")
else()
  string(JSON signing SET "${signing}" timestamp_timeout 0)
endif()
file(CONFIGURE OUTPUT ${signing_json} CONTENT "${signing}\n" @ONLY)
if(NOT source)
  return()
endif()
# For the package step: the MSI and the envelope are signed with the same configuration.
set(CPACK_DORVANE_SIGNING ${signing_json})

# The signing time follows the commit: a stamp rewritten only when the commit time changes
# relinks, and so re-signs, the exe after a new commit.
set(epoch_stamp ${PROJECT_BINARY_DIR}/source_date_epoch.txt)
add_custom_target(dorvane_source_date
                  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DSTAMP=${epoch_stamp}
                          -P ${PROJECT_SOURCE_DIR}/cmake/source_date_epoch.cmake
                  BYPRODUCTS ${epoch_stamp}
                  COMMENT "Reading the sources' commit time")
# So does what signs: the configuration, and a renewed certificate (or PKCS#12 file) at the
# same path, by a stamp of the files' contents rewritten only when they change. (CPack
# signs the MSI and the envelope anew on every package step.)
set(signer_stamp ${PROJECT_BINARY_DIR}/signing_files.sha256)
set(signer_files ${signing_json})
foreach(file IN ITEMS "${DORVANE_SIGN_CERT}" "${DORVANE_SIGN_PKCS12}")
  if(file)
    list(APPEND signer_files ${file})
  endif()
endforeach()
string(REPLACE ";" "|" signer_files "${signer_files}")
add_custom_target(dorvane_signing_files
                  COMMAND ${CMAKE_COMMAND} -DFILES=${signer_files} -DSTAMP=${signer_stamp}
                          -P ${PROJECT_SOURCE_DIR}/cmake/content_stamp.cmake
                  BYPRODUCTS ${signer_stamp}
                  COMMENT "Reading the signing certificate" VERBATIM)
add_dependencies(dorvane dorvane_source_date dorvane_signing_files)
set_property(TARGET dorvane APPEND PROPERTY LINK_DEPENDS ${epoch_stamp} ${signer_stamp})
add_custom_command(TARGET dorvane POST_BUILD
                   COMMAND /bin/bash ${PROJECT_SOURCE_DIR}/release/sign.sh exe
                           $<TARGET_FILE:dorvane> ${epoch_stamp} ${signing_json}
                   COMMENT "Signing dorvane.exe" VERBATIM)
