# Builds the installer package from the executable, the same bytes for the same inputs
# whatever the folder, the clock or the user. Run by the msi target:
#   cmake -DWIXL= -DMSIBUILD= -DMSIINFO= -DPYTHON= -DWXS= -DPIN= -DEXE= -DOUT= -DVERSION= -DUPGRADE_CODE=
#         -DPRODUCT_CODE= -DDESCRIPTION= -DEPOCH= [-DSIGN_COMMAND= -DSIGN_SCRIPT=]
#         -P build_msi.cmake
# SIGN_COMMAND, when not empty, is the cmake command line that runs SIGN_SCRIPT without FILE.
cmake_minimum_required(VERSION 3.25)

# Runs a command in the staging folder; the package builder takes sources by relative name.
function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${stage}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " line)
    message(FATAL_ERROR "failed (${status}): ${line}")
  endif()
endfunction()

# The cabinet records the file's modification time: give it the build's fixed time.
set(stage "${OUT}.stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
file(COPY_FILE "${EXE}" "${stage}/ruverodazaroda.exe")
run(touch -d "@${EPOCH}" "${stage}/ruverodazaroda.exe")

# A distinct package code for every distinct package, and the same one for the same.
file(SHA256 "${stage}/ruverodazaroda.exe" exe_hash)
string(UUID package_code NAMESPACE "${UPGRADE_CODE}" NAME "package ${VERSION} ${exe_hash}"
       TYPE SHA1 UPPER)

set(tmp "${OUT}.tmp")
file(REMOVE "${tmp}")
run(${CMAKE_COMMAND} -E env TZ=UTC LC_ALL=C
    "${WIXL}" -a x64 -o "${tmp}"
    -D "Version=${VERSION}" -D "UpgradeCode=${UPGRADE_CODE}" -D "ProductCode=${PRODUCT_CODE}"
    -D "Description=${DESCRIPTION}" -D "ExeSource=ruverodazaroda.exe"
    "${WXS}")
# What the package builder cannot say in the source: the condition of the logging switch
# (also true on removal, so that an installed switch goes with the product);
# that the switch's property is passed on to the installing service; and the executable's
# file version, the one in its version resource, which makes it a versioned file (and a
# versioned file carries no hash).
execute_process(COMMAND "${MSIINFO}" export "${tmp}" Property OUTPUT_VARIABLE properties
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT properties MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  message(FATAL_ERROR "the package has no SecureCustomProperties")
endif()
# (Called directly: the list of properties holds semicolons.)
execute_process(
  COMMAND "${MSIBUILD}" "${tmp}"
          -q "UPDATE Component SET Condition = 'LOGGING = \"1\" OR REMOVE ~= \"ALL\"' WHERE Component = 'LoggingSwitch'"
          -q "UPDATE Property SET Value = 'LOGGING;${CMAKE_MATCH_1}' WHERE Property = 'SecureCustomProperties'"
          -q "UPDATE File SET Version = '${VERSION}.0' WHERE File = 'ruverodazaroda.exe'"
          -q "DELETE FROM MsiFileHash WHERE File_ = 'ruverodazaroda.exe'"
  COMMAND_ERROR_IS_FATAL ANY)
run("${PYTHON}" "${PIN}" "${tmp}" "${EPOCH}" "{${package_code}}")
if(SIGN_COMMAND)
  execute_process(COMMAND ${SIGN_COMMAND} "-DFILE=${tmp}" -P "${SIGN_SCRIPT}"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
file(RENAME "${tmp}" "${OUT}")
file(REMOVE_RECURSE "${stage}")
