# Builds the installer package from the executable, the same bytes for the same inputs
# whatever the folder, the clock or the user. Run by the msi target:
#   cmake -DWIXL= -DMSIBUILD= -DMSIINFO= -DPYTHON= -DWXS= -DPIN= -DEXE= -DCHECK_EXE= -DOUT= -DVERSION= -DUPGRADE_CODE=
#         -DPRODUCT_CODE= -DDESCRIPTION= -DEPOCH= [-DPRODUCT_URL=]
#         [-DSIGN_COMMAND= -DSIGN_SCRIPT=] -P build_msi.cmake
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
file(COPY_FILE "${CHECK_EXE}" "${stage}/ruverodazaroda-check.exe")
run(touch -d "@${EPOCH}" "${stage}/ruverodazaroda.exe" "${stage}/ruverodazaroda-check.exe")

set(tmp "${OUT}.tmp")
file(REMOVE "${tmp}")
run(${CMAKE_COMMAND} -E env TZ=UTC LC_ALL=C
    "${WIXL}" -a x64 -o "${tmp}"
    -D "Version=${VERSION}" -D "UpgradeCode=${UPGRADE_CODE}" -D "ProductCode=${PRODUCT_CODE}"
    -D "Description=${DESCRIPTION}" -D "ExeSource=ruverodazaroda.exe"
    -D "CheckSource=ruverodazaroda-check.exe"
    "${WXS}")
# What the package builder cannot say in the source:
# - the condition of the logging switch (also true on removal, so that an installed switch
#   goes with the product), and the switch's property passed on to the installing service;
# - the executables' file version and language, those of their version resources, which
#   make them versioned files (and a versioned file carries no hash);
# - short names beside the long ones, for volumes without long names;
# - the service as vital: one that cannot be created fails the install;
# - the removal of an older version inside the installation's transaction, after
#   InstallInitialize, so that a failed upgrade rolls back to the old version with its service;
# - the recovery the install command sets (restart after a minute twice, then nothing; a day
#   without failures resets the count), by the system's sc.exe between the creation and the
#   start of the service. Deferred and without impersonation it runs as LocalSystem; like the
#   command it ignores the outcome. (The MsiServiceConfigFailureActions table would say the
#   same, but its action is reported to fail with error 1939 for restart actions, and Wine's
#   installer does not run it.)
# - the help and about links of Programs and Features, when the product has a web page;
# - the empty key of the added reader descriptions, which the running service watches, as the
#   install command creates it ("+": created if absent; the package builder has no way to say
#   it). What a removal does with such a key is not documented, and Wine's installer keeps
#   it; so the removal (not that of an upgrade) deletes it by the system's reg.exe unless an
#   administrator's descriptions are in it, as the delete command does.
execute_process(COMMAND "${MSIINFO}" export "${tmp}" Property OUTPUT_VARIABLE properties
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT properties MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  message(FATAL_ERROR "the package has no SecureCustomProperties")
endif()
math(EXPR vital_normal "0x8000 | 1")
math(EXPR deferred_system_exe "34 | 0x40 | 0x400 | 0x800")
set(recovery "[System64Folder]sc.exe failure RUVERODAzaroda reset= 86400 actions= restart/60000/restart/60000//0")
set(readers_key "HKLM\\SOFTWARE\\Corvane\\Tessarine\\KVR\\Readers")
# (Wine's cmd runs what follows || whatever the status before it; "if errorlevel" it honours.)
set(remove_readers_key "[System64Folder]cmd.exe /c [System64Folder]reg.exe query ${readers_key} /v Descriptions & if errorlevel 1 [System64Folder]reg.exe delete ${readers_key} /f")
set(links)
if(PRODUCT_URL)
  foreach(link ARPHELPLINK ARPURLINFOABOUT)
    list(APPEND links -q "INSERT INTO Property (Property, Value) VALUES ('${link}', '${PRODUCT_URL}')")
  endforeach()
endif()
# (Called directly: the list of properties holds semicolons.)
execute_process(
  COMMAND "${MSIBUILD}" "${tmp}"
          -q "UPDATE Component SET Condition = 'LOGGING = \"1\" OR REMOVE ~= \"ALL\"' WHERE Component = 'LoggingSwitch'"
          -q "UPDATE Property SET Value = 'LOGGING;${CMAKE_MATCH_1}' WHERE Property = 'SecureCustomProperties'"
          -q "UPDATE File SET Version = '${VERSION}.0', Language = '1033', FileName = 'RUVERODA.EXE|ruverodazaroda.exe' WHERE File = 'ruverodazaroda.exe'"
          -q "UPDATE File SET Version = '${VERSION}.0', Language = '1033', FileName = 'RUVERO~1.EXE|ruverodazaroda-check.exe' WHERE File = 'ruverodazaroda_check.exe'"
          -q "DELETE FROM MsiFileHash WHERE File_ = 'ruverodazaroda.exe'"
          -q "DELETE FROM MsiFileHash WHERE File_ = 'ruverodazaroda_check.exe'"
          -q "UPDATE Directory SET DefaultDir = 'RUVERODA|RUVERODAzaroda' WHERE Directory = 'INSTALLFOLDER'"
          -q "UPDATE ServiceInstall SET ErrorControl = ${vital_normal} WHERE ServiceInstall = 'Service'"
          -q "UPDATE InstallExecuteSequence SET Sequence = 1501 WHERE Action = 'RemoveExistingProducts'"
          -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('ServiceRecovery', ${deferred_system_exe}, 'INSTALLFOLDER', '${recovery}')"
          -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('ServiceRecovery', '$ServiceExecutable = 3', 5850)"
          -q "INSERT INTO Registry (Registry, Root, `Key`, Name, Component_) VALUES ('ReaderDescriptions', 2, 'SOFTWARE\\Corvane\\Tessarine\\KVR\\Readers', '+', 'ServiceExecutable')"
          -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('RemoveReaderDescriptionsKey', ${deferred_system_exe}, 'INSTALLFOLDER', '${remove_readers_key}')"
          -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('RemoveReaderDescriptionsKey', '$ServiceExecutable = 2 AND NOT UPGRADINGPRODUCTCODE', 2650)"
          ${links}
  COMMAND_ERROR_IS_FATAL ANY)

# The package code names this package and no other: Windows Installer takes a package with
# the code of an installed one for that one, and keeps its cached copy. So it derives from
# the whole package, pinned first with a placeholder code and the build's time.
run("${PYTHON}" "${PIN}" "${tmp}" "${EPOCH}" "{00000000-0000-0000-0000-000000000000}")
file(SHA256 "${tmp}" package_hash)
string(UUID package_code NAMESPACE "${UPGRADE_CODE}" NAME "package ${package_hash}" TYPE SHA1 UPPER)
run("${PYTHON}" "${PIN}" "${tmp}" "${EPOCH}" "{${package_code}}")
if(SIGN_COMMAND)
  execute_process(COMMAND ${SIGN_COMMAND} "-DFILE=${tmp}" -P "${SIGN_SCRIPT}"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
file(RENAME "${tmp}" "${OUT}")
file(REMOVE_RECURSE "${stage}")
