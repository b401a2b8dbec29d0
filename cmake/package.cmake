# The installer package, ruverodazaroda-<version>-x64.msi, part of the default build when
# the package tools (wixl, msitools, Python 3) are on the build machine; and the signing
# of the executable and the package when a code-signing certificate is given.

# Windows Installer compares the first three fields of ProductVersion only, each within
# 255.255.65535: a fourth field, or a larger number, would make two versions look the same
# and install them side by side under one service name.
if(NOT PROJECT_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$"
   OR CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
  message(FATAL_ERROR "The project version ${PROJECT_VERSION} cannot version the installer "
                      "package: give three numbers, at most 255.255.65535.")
endif()

# The product's web page: the help and about links in Programs and Features, and the URL
# in the signature.
set(PRODUCT_URL "" CACHE STRING "The product's web page, if it has one")

# Signing: the certificate and its private key, as cache entries or, when those are empty,
# environment variables of the same names. The key is a file, or a PKCS#11 URI of a key in
# a hardware token, an HSM or a signing service reached through a PKCS#11 module; the
# certificate is a file, or a PKCS#11 URI in the same token. Without both nothing is signed.
set(CODE_SIGNING_CERT "" CACHE STRING "Code-signing certificate (chain): file or PKCS#11 URI")
set(CODE_SIGNING_KEY "" CACHE STRING "Private key of the certificate: file or PKCS#11 URI")
set(CODE_SIGNING_KEY_PASSWORD_FILE "" CACHE FILEPATH "File holding the key's password or PIN")
set(CODE_SIGNING_PKCS11_MODULE "" CACHE FILEPATH "PKCS#11 module of the token holding the key")
set(CODE_SIGNING_URL "" CACHE STRING "URL named in the signature (default: PRODUCT_URL)")
set(CODE_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service")
option(CODE_SIGNING_TEST "A test signature: allowed without a time stamp" OFF)
foreach(_name CERT KEY KEY_PASSWORD_FILE PKCS11_MODULE URL TIMESTAMP_URL)
  if(NOT CODE_SIGNING_${_name} AND DEFINED ENV{CODE_SIGNING_${_name}})
    set(CODE_SIGNING_${_name} "$ENV{CODE_SIGNING_${_name}}")
  endif()
endforeach()
if(NOT CODE_SIGNING_URL)
  set(CODE_SIGNING_URL "${PRODUCT_URL}")
endif()
set(SIGN_COMMAND "")
if(CODE_SIGNING_CERT AND CODE_SIGNING_KEY)
  # Without a time stamp a signature dies with its certificate, and Windows then refuses
  # the package and the service's executable.
  if(NOT CODE_SIGNING_TIMESTAMP_URL AND NOT CODE_SIGNING_TEST)
    message(FATAL_ERROR "Signing needs CODE_SIGNING_TIMESTAMP_URL, a time-stamping service; "
                        "for a test signature without one set CODE_SIGNING_TEST=ON.")
  endif()
  if(NOT CODE_SIGNING_URL)
    message(FATAL_ERROR "Signing needs the URL the signature names: PRODUCT_URL or "
                        "CODE_SIGNING_URL.")
  endif()
  if((CODE_SIGNING_CERT MATCHES "^pkcs11:" OR CODE_SIGNING_KEY MATCHES "^pkcs11:")
     AND NOT CODE_SIGNING_PKCS11_MODULE)
    message(FATAL_ERROR "A PKCS#11 URI needs CODE_SIGNING_PKCS11_MODULE, the token's module.")
  endif()
  find_program(OSSLSIGNCODE_PROGRAM osslsigncode REQUIRED)
  # The settings go to sign.cmake in a file: a PKCS#11 URI holds semicolons, which a command
  # line of CMake would split. The file is named by its content, so that other settings
  # change the command and sign again.
  set(_settings "")
  foreach(_pair OSSLSIGNCODE=OSSLSIGNCODE_PROGRAM CERT=CODE_SIGNING_CERT KEY=CODE_SIGNING_KEY
                PASS_FILE=CODE_SIGNING_KEY_PASSWORD_FILE MODULE=CODE_SIGNING_PKCS11_MODULE
                URL=CODE_SIGNING_URL TIMESTAMP_URL=CODE_SIGNING_TIMESTAMP_URL)
    string(REPLACE "=" ";" _pair "${_pair}")
    list(GET _pair 0 _to)
    list(GET _pair 1 _from)
    string(APPEND _settings "set(${_to} [==[${${_from}}]==])\n")
  endforeach()
  string(SHA256 _hash "${_settings}")
  string(SUBSTRING "${_hash}" 0 16 _hash)
  set(_settings_file ${CMAKE_BINARY_DIR}/signing-${_hash}.cmake)
  file(WRITE ${_settings_file} "${_settings}")
  set(SIGN_COMMAND ${CMAKE_COMMAND} -DSETTINGS=${_settings_file})
  foreach(_program ruverodazaroda ruverodazaroda-check)
    add_custom_command(TARGET ${_program} POST_BUILD
                       COMMAND ${SIGN_COMMAND} -DFILE=$<TARGET_FILE:${_program}>
                               -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
                       COMMENT "Signing ${_program}.exe" VERBATIM)
  endforeach()
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
  # What build_msi.cmake is given, but the signing; the package tests build with it too.
  set(PACKAGE_DEFINITIONS
      -DWIXL=${WIXL_PROGRAM} -DMSIBUILD=${MSIBUILD_PROGRAM} -DMSIINFO=${MSIINFO_PROGRAM}
      -DPYTHON=${Python3_EXECUTABLE}
      -DWXS=${CMAKE_SOURCE_DIR}/packaging/ruverodazaroda.wxs
      -DPIN=${CMAKE_SOURCE_DIR}/packaging/pin_summary.py
      -DEXE=$<TARGET_FILE:ruverodazaroda> -DCHECK_EXE=$<TARGET_FILE:ruverodazaroda-check>
      -DOUT=${PACKAGE_FILE}
      -DVERSION=${PROJECT_VERSION} -DUPGRADE_CODE=${PACKAGE_UPGRADE_CODE}
      -DPRODUCT_CODE=${PACKAGE_PRODUCT_CODE} -DDESCRIPTION=${SERVICE_DESCRIPTION}
      -DEPOCH=${PACKAGE_SOURCE_DATE_EPOCH} -DPRODUCT_URL=${PRODUCT_URL})
  add_custom_command(
    OUTPUT ${PACKAGE_FILE}
    COMMAND ${CMAKE_COMMAND} ${PACKAGE_DEFINITIONS}
            "-DSIGN_COMMAND=${SIGN_COMMAND}" -DSIGN_SCRIPT=${CMAKE_SOURCE_DIR}/cmake/sign.cmake
            -P ${CMAKE_SOURCE_DIR}/cmake/build_msi.cmake
    DEPENDS ruverodazaroda ruverodazaroda-check ${CMAKE_SOURCE_DIR}/packaging/ruverodazaroda.wxs
            ${CMAKE_SOURCE_DIR}/packaging/pin_summary.py ${CMAKE_SOURCE_DIR}/cmake/build_msi.cmake
            ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
    COMMENT "Packaging ruverodazaroda-${PROJECT_VERSION}-x64.msi"
    VERBATIM)
  add_custom_target(msi ALL DEPENDS ${PACKAGE_FILE})
endif()
