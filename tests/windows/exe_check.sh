#!/usr/bin/env bash
# What an administrator deploys: a 64-bit, terminal server aware executable of at most 200 KiB
# that imports only system DLLs and carries a manifest asking for asInvoker without UI access.
# Usage: exe_check.sh ruverodazaroda.exe [DLLS CFGMGR32_CALLS]: DLLS, the system DLLs it must
# link (default: setupapi.dll newdev.dll cfgmgr32.dll), and CFGMGR32_CALLS, all it takes from
# cfgmgr32.dll, sorted (default: the two notification calls).
set -u
exe=$1
required=${2:-setupapi.dll newdev.dll cfgmgr32.dll}
cfgmgr32_calls=${3:-CM_Register_Notification CM_Unregister_Notification}
. "$(dirname "$0")/../checks.sh"
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
expect_eq "PE32+ image" "020b" "$(awk '/^Magic/{print $2}' <<<"$headers")"
expect_eq "x86-64 machine" "yes" "$(x86_64-w64-mingw32-objdump -f "$exe" | grep -q 'pei-x86-64' && echo yes || echo no)"
imports=$(awk '/DLL Name:/{print tolower($3)}' <<<"$headers" | sort -u | tr '\n' ' ')
allowed=" advapi32.dll cfgmgr32.dll kernel32.dll msvcrt.dll newdev.dll ntdll.dll setupapi.dll "
foreign=""
for dll in $imports; do
    [[ "$allowed" == *" $dll "* ]] || foreign+="$dll "
done
expect_eq "imports only system DLLs (got: $imports)" "" "$foreign"
for dll in $required; do
    expect_eq "links the real $dll" "yes" "$([[ " $imports " == *" $dll "* ]] && echo yes || echo no)"
done
# The Wine tests put a stand-in cfgmgr32.dll beside the executable that has only these.
expect_eq "from cfgmgr32.dll only $cfgmgr32_calls" "$cfgmgr32_calls" \
    "$(awk '/DLL Name:/{dll=tolower($3)} dll=="cfgmgr32.dll" && NF==3 && $1 ~ /^[0-9a-f]+$/{print $3}' \
        <<<"$headers" | sort | tr '\n' ' ' | sed 's/ $//')"
# Without it, on a Remote Desktop session host the Windows directory, and the log, is per user.
expect_eq "terminal server aware" "yes" \
    "$(grep -q -x $'\t*TERMINAL_SERVICE_AWARE' <<<"$headers" && echo yes || echo no)"
size=$(stat -c %s "$exe")
expect_eq "image at most 200 KiB (got $size bytes)" "yes" "$([ "$size" -le 204800 ] && echo yes || echo no)"
manifest=$(x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$exe" /dev/stdout 2>/dev/null | tr -d '\0' | grep -a -o '<requestedExecutionLevel[^>]*>')
expect_eq "manifest asks for asInvoker without UI access" \
    '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$manifest"
finish
