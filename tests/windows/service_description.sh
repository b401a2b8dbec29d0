# service_description SOURCE: the text of the ServiceDescription constant in SOURCE/commands,
# its string pieces joined: what the install command sets and the package must carry.
service_description() {
    cat "$1"/commands/*.h "$1"/commands/*.cpp 2>/dev/null | tr '\n' ' ' |
        grep -o 'ServiceDescription\[\] *= *[^;]*;' | head -n 1 |
        grep -o '"[^"]*"' | sed 's/^"//; s/"$//' | tr -d '\n'
}
