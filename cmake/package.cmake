# The installer package, ruverodazaroda-<version>-x64.msi, part of the default build when
# the package tools (wixl, msitools, Python 3) are on the build machine; and the signing
# of the executable and the package when a code-signing certificate is given.

# Signing: the certificate and its private key (PEM or DER files), as cache entries or, when
# those are empty, environment variables of the same names. Without both nothing is signed.
set(CODE_SIGNING_CERT "" CACHE FILEPATH "Code-signing certificate (chain) to sign with")
set(CODE_SIGNING_KEY "" CACHE FILEPATH "Private key of the code-signing certificate")
set(CODE_SIGNING_KEY_PASSWORD_FILE "" CACHE FILEPATH "File holding the key's password, if any")
set(CODE_SIGNING_URL "https://corvane.example/ruverodazaroda" CACHE STRING
    "URL named in the signature")
set(CODE_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service, if any")
foreach(_name CERT KEY KEY_PASSWORD_FILE TIMESTAMP_URL)
  if(NOT CODE_SIGNING_${_name} AND DEFINED ENV{CODE_SIGNING_${_name}})
    set(CODE_SIGNING_${_name} "$ENV{CODE_SIGNING_${_name}}")
  endif()
endforeach()
set(SIGN_COMMAND "")
if(CODE_SIGNING_CERT AND CODE_SIGNING_KEY)
  find_program(OSSLSIGNCODE_PROGRAM osslsigncode REQUIRED)
  set(SIGN_COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${OSSLSIGNCODE_PROGRAM}
      -DCERT=${CODE_SIGNING_CERT} -DKEY=${CODE_SIGNING_KEY}
      -DPASS_FILE=${CODE_SIGNING_KEY_PASSWORD_FILE} -DURL=${CODE_SIGNING_URL}
      -DTIMESTAMP_URL=${CODE_SIGNING_TIMESTAMP_URL})
  add_custom_command(TARGET ruverodazaroda POST_BUILD
                     COMMAND ${SIGN_COMMAND} -DFILE=$<TARGET_FILE:ruverodazaroda>
                             -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
                     COMMENT "Signing ruverodazaroda.exe" VERBATIM)
  message(STATUS "Signing with ${CODE_SIGNING_CERT}")
endif()

# The service description is the constant the install command sets; the package takes it
# from there so that the two cannot drift apart.
set(SERVICE_DESCRIPTION "")
file(GLOB _command_files ${CMAKE_SOURCE_DIR}/commands/*.h ${CMAKE_SOURCE_DIR}/commands/*.cpp)
foreach(_file IN LISTS _command_files)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_file})
  file(READ ${_file} _text)
  if(_text MATCHES "ServiceDescription[^;=(]*=([^;]*);")
    string(REGEX MATCHALL "\"[^\"]*\"" _pieces "${CMAKE_MATCH_1}")
    foreach(_piece IN LISTS _pieces)
      string(REGEX REPLACE "^\"(.*)\"$" "\\1" _piece "${_piece}")
      string(APPEND SERVICE_DESCRIPTION "${_piece}")
    endforeach()
  endif()
endforeach()

# Fixed for the life of the product; the product code of each version derives from it.
set(PACKAGE_UPGRADE_CODE "6B0E5C2A-8D41-4F7E-9A53-2C1D7E4B9F60")
string(UUID PACKAGE_PRODUCT_CODE NAMESPACE ${PACKAGE_UPGRADE_CODE}
       NAME "product ${PROJECT_VERSION}" TYPE SHA1 UPPER)

# The time stamped into the package: SOURCE_DATE_EPOCH when given, else the time of the
# commit built, so that rebuilding a commit gives the same package.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(_epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT _epoch MATCHES "^[0-9]+$")
    set(_epoch 1767225600) # 2026-01-01, for a tree without history
  endif()
endif()
set(PACKAGE_SOURCE_DATE_EPOCH "${_epoch}" CACHE STRING "Seconds since 1970 stamped into the package")

find_program(WIXL_PROGRAM wixl)
find_program(MSIBUILD_PROGRAM msibuild)
find_program(MSIINFO_PROGRAM msiinfo)
find_package(Python3 COMPONENTS Interpreter)
set(PACKAGE_FILE ${CMAKE_BINARY_DIR}/ruverodazaroda-${PROJECT_VERSION}-x64.msi)
if(NOT (WIXL_PROGRAM AND MSIBUILD_PROGRAM AND MSIINFO_PROGRAM AND Python3_Interpreter_FOUND))
  message(STATUS "wixl, msitools or Python 3 missing: the package is not built")
elseif(NOT SERVICE_DESCRIPTION)
  message(FATAL_ERROR "No ServiceDescription constant in commands/ for the package")
else()
  add_custom_command(
    OUTPUT ${PACKAGE_FILE}
    COMMAND ${CMAKE_COMMAND}
            -DWIXL=${WIXL_PROGRAM} -DMSIBUILD=${MSIBUILD_PROGRAM} -DMSIINFO=${MSIINFO_PROGRAM}
            -DPYTHON=${Python3_EXECUTABLE}
            -DWXS=${CMAKE_SOURCE_DIR}/packaging/ruverodazaroda.wxs
            -DPIN=${CMAKE_SOURCE_DIR}/packaging/pin_summary.py
            -DEXE=$<TARGET_FILE:ruverodazaroda> -DOUT=${PACKAGE_FILE}
            -DVERSION=${PROJECT_VERSION} -DUPGRADE_CODE=${PACKAGE_UPGRADE_CODE}
            -DPRODUCT_CODE=${PACKAGE_PRODUCT_CODE} -DDESCRIPTION=${SERVICE_DESCRIPTION}
            -DEPOCH=${PACKAGE_SOURCE_DATE_EPOCH}
            "-DSIGN_COMMAND=${SIGN_COMMAND}" -DSIGN_SCRIPT=${CMAKE_SOURCE_DIR}/cmake/sign.cmake
            -P ${CMAKE_SOURCE_DIR}/cmake/build_msi.cmake
    DEPENDS ruverodazaroda ${CMAKE_SOURCE_DIR}/packaging/ruverodazaroda.wxs
            ${CMAKE_SOURCE_DIR}/packaging/pin_summary.py ${CMAKE_SOURCE_DIR}/cmake/build_msi.cmake
            ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
    COMMENT "Packaging ruverodazaroda-${PROJECT_VERSION}-x64.msi"
    VERBATIM)
  add_custom_target(msi ALL DEPENDS ${PACKAGE_FILE})
endif()
