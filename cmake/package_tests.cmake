# Tests of what is deployed: the installer package, the reproducible and signed builds, and
# the Group Policy template. After windows_tests.cmake, which finds Wine.

# The installer package: its tables, and the executable's version resource against them.
if(TARGET msi)
  add_test(NAME msi_tables
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/msi_check.sh ${PACKAGE_FILE}
                   $<TARGET_FILE:ruverodazaroda> $<TARGET_FILE:ruverodazaroda-check>
                   ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR}
                   ${PACKAGE_DEFINITIONS})
endif()

# The package installed, upgraded and removed by Wine's msiexec.
if(TARGET msi AND WINE_PROGRAM)
  add_test(NAME wine_msi_install
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/msi_install_test.sh ${PACKAGE_FILE}
                   $<TARGET_FILE:ruverodazaroda> $<TARGET_FILE:cfgmgr32_standin>
                   ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR})
  set_tests_properties(wine_msi_install PROPERTIES TIMEOUT 900)
endif()

# Bit-identical executable and package from two builds in unrelated folders.
if(TARGET msi)
  add_test(NAME reproducible_build
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/reproducible_test.sh ${CMAKE_SOURCE_DIR})
  set_tests_properties(reproducible_build PROPERTIES TIMEOUT 900)
endif()

# The signing hook, with a throwaway certificate.
find_program(OPENSSL_PROGRAM openssl)
find_program(OSSLSIGNCODE_FOR_TESTS osslsigncode)
if(TARGET msi AND OPENSSL_PROGRAM AND OSSLSIGNCODE_FOR_TESTS)
  add_test(NAME signing
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/signing_test.sh ${CMAKE_SOURCE_DIR}
                   $<TARGET_FILE:cfgmgr32_standin>)
  set_tests_properties(signing PROPERTIES TIMEOUT 900)
endif()

# The Group Policy template for the log switch and the reader descriptions.
find_program(XMLLINT_PROGRAM xmllint)
if(XMLLINT_PROGRAM)
  add_test(NAME admx_template
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/admx_check.sh
                   ${CMAKE_SOURCE_DIR}/packaging/ruverodazaroda.admx
                   ${CMAKE_SOURCE_DIR}/packaging/en-US/ruverodazaroda.adml
                   ${CMAKE_SOURCE_DIR}/log/log_switch.cpp
                   ${CMAKE_SOURCE_DIR}/repair/reader_descriptions.cpp)
endif()
