# Tests of the real executable: its image, and its behaviour under Wine when wine is on the
# build machine.
enable_testing()
add_test(NAME exe_image
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/exe_check.sh $<TARGET_FILE:ruverodazaroda>)
add_test(NAME check_exe_image
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/exe_check.sh
                 $<TARGET_FILE:ruverodazaroda-check> "setupapi.dll cfgmgr32.dll" CM_Get_DevNode_Status)

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
  # Each suite gets a fresh prefix of its own.
  foreach(suite entry service commands system)
    add_test(NAME wine_${suite}
             COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/${suite}_test.sh
                     $<TARGET_FILE:ruverodazaroda> $<TARGET_FILE:cfgmgr32_standin>)
    set_tests_properties(wine_${suite} PROPERTIES TIMEOUT 600)
  endforeach()
endif()

# The check program beside the service.
if(WINE_PROGRAM)
  add_test(NAME wine_check
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/check_test.sh $<TARGET_FILE:ruverodazaroda>
                   $<TARGET_FILE:cfgmgr32_standin> $<TARGET_FILE:ruverodazaroda-check>)
  set_tests_properties(wine_check PROPERTIES TIMEOUT 600)
endif()

# The log on its own, driven from many threads and pointed at planted links.
file(GLOB LOG_STRESS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/log/*.cpp)
add_executable(log_stress tests/wine/log_stress.cpp ${LOG_STRESS_SOURCES}
                          ${CMAKE_SOURCE_DIR}/platform/text.cpp)
target_include_directories(log_stress PRIVATE ${CMAKE_SOURCE_DIR} ${PLATFORM_DIR})
target_compile_definitions(log_stress PRIVATE UNICODE _UNICODE)
target_link_libraries(log_stress PRIVATE advapi32 ntdll)
if(MINGW)
  target_link_options(log_stress PRIVATE -static -static-libgcc -static-libstdc++)
endif()
if(WINE_PROGRAM)
  add_test(NAME wine_log
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/wine/log_test.sh
                   $<TARGET_FILE:ruverodazaroda> $<TARGET_FILE:cfgmgr32_standin>
                   $<TARGET_FILE:log_stress>)
  set_tests_properties(wine_log PROPERTIES TIMEOUT 600)
endif()

# Floors and a timer for the live figures of bench/wine_figures.sh, built like the product.
foreach(program floor_service floor_repair start_timer)
  add_executable(${program} bench/${program}.cpp)
  target_compile_definitions(${program} PRIVATE UNICODE _UNICODE WINVER=0x0A00 _WIN32_WINNT=0x0A00)
  target_link_libraries(${program} PRIVATE setupapi newdev cfgmgr32 advapi32)
  if(MINGW)
    target_link_options(${program} PRIVATE -municode -static -static-libgcc -static-libstdc++
                        $<$<CONFIG:MinSizeRel,Release>:-s>)
  endif()
endforeach()
