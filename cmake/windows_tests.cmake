# Tests of the real executable: its image, and its behaviour under Wine when wine is on the
# build machine.
enable_testing()
add_test(NAME exe_image
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/exe_check.sh $<TARGET_FILE:ruverodazaroda>)

# Wine 8 has no CM_Register_Notification, so these tests load a stand-in cfgmgr32.dll of
# their own next to the executable.
add_library(cfgmgr32_standin SHARED tests/wine/cfgmgr32_standin.cpp tests/wine/cfgmgr32_standin.def)
set_target_properties(cfgmgr32_standin PROPERTIES OUTPUT_NAME cfgmgr32 PREFIX "")
target_include_directories(cfgmgr32_standin PRIVATE ${PLATFORM_DIR})
target_compile_definitions(cfgmgr32_standin PRIVATE _CFGMGR32_)
if(MINGW)
  target_link_options(cfgmgr32_standin PRIVATE -static -static-libgcc -static-libstdc++)
endif()

find_program(WINE_PROGRAM wine)
if(WINE_PROGRAM)
  add_test(NAME wine_entry
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/entry_test.sh
                   $<TARGET_FILE:ruverodazaroda> $<TARGET_FILE:cfgmgr32_standin>)
  set_tests_properties(wine_entry PROPERTIES TIMEOUT 600)
endif()

# The installer package: its tables, and the executable's version resource against them.
if(TARGET msi)
  add_test(NAME msi_tables
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/msi_check.sh ${PACKAGE_FILE}
                   $<TARGET_FILE:ruverodazaroda> ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR})
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

# The Group Policy template for the log switch.
find_program(XMLLINT_PROGRAM xmllint)
if(XMLLINT_PROGRAM)
  add_test(NAME admx_template
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/admx_check.sh
                   ${CMAKE_SOURCE_DIR}/packaging/ruverodazaroda.admx
                   ${CMAKE_SOURCE_DIR}/packaging/en-US/ruverodazaroda.adml
                   ${CMAKE_SOURCE_DIR}/log/log.cpp)
endif()
