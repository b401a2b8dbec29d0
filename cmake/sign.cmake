# Signs one file in place with Authenticode (SHA-256), naming the product and its URL:
#   cmake -DFILE= -DSETTINGS= -P sign.cmake
# SETTINGS is a CMake file that sets OSSLSIGNCODE, CERT and KEY (files, or PKCS#11 URIs
# with MODULE, the token's PKCS#11 module), URL, and PASS_FILE and TIMESTAMP_URL if any.
cmake_minimum_required(VERSION 3.25)
include("${SETTINGS}")
# The URIs hold semicolons: they are passed quoted, never through a list.
set(options)
if(MODULE)
  # The key stays in the token; the certificate may come from it too.
  list(APPEND options -pkcs11module "${MODULE}")
endif()
if(CERT MATCHES "^pkcs11:")
  set(cert_option -pkcs11cert)
else()
  set(cert_option -certs)
endif()
if(PASS_FILE)
  list(APPEND options -readpass "${PASS_FILE}")
endif()
if(TIMESTAMP_URL)
  list(APPEND options -ts "${TIMESTAMP_URL}")
endif()
file(REMOVE "${FILE}.signed")
execute_process(COMMAND "${OSSLSIGNCODE}" sign ${options} ${cert_option} "${CERT}" -key "${KEY}"
                        -h sha256 -comm -n RUVERODAzaroda -i "${URL}"
                        -in "${FILE}" -out "${FILE}.signed"
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${FILE}.signed")
  message(FATAL_ERROR "signing ${FILE} failed")
endif()
file(RENAME "${FILE}.signed" "${FILE}")
