#!/usr/bin/env bash
# The Group Policy template: well-formed, every string it names defined in its language
# file, and each policy writing the very key and value that the service reads.
# Usage: admx_check.sh ruverodazaroda.admx en-US/ruverodazaroda.adml log/log_switch.cpp \
#            repair/reader_descriptions.cpp
set -u
admx=$1
adml=$2
log_source=$3
. "$(dirname "$0")/../checks.sh"

for file in "$admx" "$adml"; do
    expect_eq "$(basename "$file") is well-formed XML" "" "$(xmllint --noout "$file" 2>&1)"
done

ids=$(grep -o '\$(string\.[A-Za-z0-9_.]*)' "$admx" | sed 's/^$(string\.//; s/)$//' | sort -u)
expect_match "the template names strings" '.' "$ids"
for id in $ids; do
    count=$(xmllint --xpath "count(//*[local-name()='string'][@id='$id'])" "$adml")
    expect_eq "string $id defined once in the language file" 1 "$count"
done

policy="//*[local-name()='policy'][@name='DiagnosticLog']"
attribute() {
    xmllint --xpath "string($policy/$1)" "$admx"
}
# The service's own constants, with the C++ escapes undone.
literal() {
    sed -n "s/.*$1\[\] = WSTR(\"\(.*\)\");.*/\1/p" "${2:-$log_source}" | sed 's/\\\\/\\/g'
}
expect_eq "a computer policy" Machine "$(attribute @class)"
expect_eq "the key the log reads" "$(literal kSwitchKey)" "$(attribute @key)"
expect_eq "the value the log reads" "$(literal kSwitchValue)" "$(attribute @valueName)"
expect_eq "enabled writes 1" 1 "$(attribute "*[local-name()='enabledValue']/*[local-name()='decimal']/@value")"
expect_eq "disabled writes 0" 0 "$(attribute "*[local-name()='disabledValue']/*[local-name()='decimal']/@value")"
expect_eq "under the product's category" RUVERODAzaroda \
    "$(attribute "*[local-name()='parentCategory']/@ref")"
expect_eq "titled Diagnostic log" "Diagnostic log" \
    "$(xmllint --xpath "string(//*[local-name()='string'][@id='DiagnosticLog'])" "$adml")"
explain=$(xmllint --xpath "string(//*[local-name()='string'][@id='DiagnosticLog_Explain'])" "$adml")
expect_match "the explanation says where" '%windir%\\Temp\\Kelpix\.log\\ruverodazaroda_P<process ID>\.log' "$explain"
expect_match "the explanation says a restart applies it" 'restart the service' "$explain"

policy="//*[local-name()='policy'][@name='ReaderDescriptions']"
list="*[local-name()='elements']/*[local-name()='multiText']"
box="//*[local-name()='presentation'][@id='ReaderDescriptions']/*[local-name()='multiTextBox']"
string="//*[local-name()='string']"
expect_eq "descriptions: a computer policy beside the log's, writing the value the service reads" \
    "Machine RUVERODAzaroda $(literal ReaderDescriptionsKey "$4") $(literal kSettingValue "$4")" \
    "$(attribute @class) $(attribute "*[local-name()='parentCategory']/@ref") \
$(attribute @key) $(attribute "$list/@valueName")"
expect_eq "descriptions: at most 16 of at most 255 characters, in the box of its presentation" \
    "16 255 \$(presentation.ReaderDescriptions) $(attribute "$list/@id")" \
    "$(attribute "$list/@maxStrings") $(attribute "$list/@maxLength") $(attribute @presentation) \
$(xmllint --xpath "string($box/@refId)" "$adml")"
expect_match "descriptions: titled, and explained: where to read the text, what it adds, when" \
    '^Reader descriptions: .*ruverodazaroda-check\.exe.*Device Manager.*only ever adds readers of the four watched vendors.*within seconds of a change.*no restart is needed' \
    "$(xmllint --xpath "concat($string[@id='ReaderDescriptions'], ': ', \
        $string[@id='ReaderDescriptions_Explain'])" "$adml" | tr '\n' ' ')"
finish
