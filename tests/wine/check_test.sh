#!/usr/bin/env bash
# The check program under Wine, beside the service in a folder whose path has spaces: two
# watched readers on the UMDF2 driver before the service is installed, the same readers on
# the package once `install` has run the service's first pass, and a reader of another
# vendor that is never listed.
# Usage: check_test.sh ruverodazaroda.exe cfgmgr32.dll ruverodazaroda-check.exe
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_harness.sh"

wine_start_prefix "$1" "$2" 'C:\Program Files\RUVERODAzaroda'
. "$here/devices.sh"
cp "$3" "$EXE_DIR/ruverodazaroda-check.exe"
check='C:\Program Files\RUVERODAzaroda\ruverodazaroda-check.exe'
package="driver package: $(package_inf_win)"
r1='USB\VID_F0C1&PID_1001\5&2F0A&0&1'
r2='USB\VID_F0C2&PID_0002\5&2F0A&0&2'

stage_package
add_readers "$r1|USB\\VID_F0C1&PID_1001&REV_0100;USB\\VID_F0C1&PID_1001|$UMDF2_DESC" \
    "$r2|USB\\VID_F0C2&PID_0002&REV_0200;USB\\VID_F0C2&PID_0002|$UMDF2_DESC" \
    "USB\\VID_1234&PID_0001\\5&2F0A&0&3|USB\\VID_1234&PID_0001|$UMDF2_DESC"

# Readers that Wine's registry lists have no driver key until newdev installs a driver.
run_check "$check"
echo "$CHECK_OUT"
expect_eq "before install: two readers need fixing" "service: not installed
$package
logging: off
reader $r1: needs fixing (no driver, \"$UMDF2_DESC\")
reader $r2: needs fixing (no driver, \"$UMDF2_DESC\")
result: not compliant: service not installed; 2 readers need fixing" "$CHECK_OUT"
expect_eq "before install: status 1" 1 "$CHECK_STATUS"

run_check "$check" /fix
expect_eq "an argument: usage on standard error" \
    "usage: ruverodazaroda-check.exe (it takes no arguments)|" "$CHECK_ERR|$CHECK_OUT"
expect_eq "an argument: status 2" 2 "$CHECK_STATUS"

run_exe install
expect_eq "install" 0 "$RUN_STATUS"
# The service's first pass repairs the readers one after the other, and while Wine installs
# the package on a reader its new description comes before its driver key: such a reader is
# no longer one to fix, but not yet on the package. Wait until both are.
repaired() {
    run_check "$check"
    [ "$(grep -c ': ok (' <<<"$CHECK_OUT")" -eq 2 ]
}
eventually 60 repaired
echo "$CHECK_OUT"
# Wine 8 keeps no recovery actions and refuses to give them (ERROR_INVALID_LEVEL) where
# Windows gives those that install set; the check names the failed query on that line and
# still answers, since the result does not depend on the recovery.
expect_eq "after install: both readers on the package" "service: running
start type: automatic
account: LocalSystem
image path: \"C:\\Program Files\\RUVERODAzaroda\\ruverodazaroda.exe\" (quoted)
description: present
recovery: unknown (QueryServiceConfig2W failed (124))
$package
logging: off
reader $r1: ok (wudfusbcciddriver.inf, \"$PACKAGE_DESC\")
reader $r2: ok (wudfusbcciddriver.inf, \"$PACKAGE_DESC\")
result: compliant" "$CHECK_OUT"
expect_eq "after install: status 0" 0 "$CHECK_STATUS"
finish
