# Signs one file in place with Authenticode (SHA-256), naming the product and its URL:
#   cmake -DFILE= -DOSSLSIGNCODE= -DCERT= -DKEY= -DURL= [-DPASS_FILE=] [-DTIMESTAMP_URL=]
#         -P sign.cmake
cmake_minimum_required(VERSION 3.25)
set(options -certs "${CERT}" -key "${KEY}" -h sha256 -comm -n RUVERODAzaroda -i "${URL}")
if(PASS_FILE)
  list(APPEND options -readpass "${PASS_FILE}")
endif()
if(TIMESTAMP_URL)
  list(APPEND options -ts "${TIMESTAMP_URL}")
endif()
file(REMOVE "${FILE}.signed")
execute_process(COMMAND "${OSSLSIGNCODE}" sign ${options} -in "${FILE}" -out "${FILE}.signed"
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${FILE}.signed")
  message(FATAL_ERROR "signing ${FILE} failed")
endif()
file(RENAME "${FILE}.signed" "${FILE}")
