# Checks for the shell tests: each counts a pass or a failure; finish prints the total as
# "N passed, N failed" and fails when any check did.
PASSED=0
FAILED=0

expect_eq() {
    if [ "$2" == "$3" ]; then
        PASSED=$((PASSED + 1))
        echo "ok: $1"
    else
        FAILED=$((FAILED + 1))
        echo "FAILED: $1: expected [$2], got [$3]"
    fi
}

expect_match() {
    if [[ "$3" =~ $2 ]]; then
        PASSED=$((PASSED + 1))
        echo "ok: $1"
    else
        FAILED=$((FAILED + 1))
        echo "FAILED: $1: [$3] does not match [$2]"
    fi
}

# require_eq: expect_eq for a step the later steps depend on; its failure ends the test there.
require_eq() {
    expect_eq "$@"
    [ "$2" == "$3" ] || { echo "stopped: the later steps depend on \"$1\"" && finish; exit 1; }
}

finish() {
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
}
