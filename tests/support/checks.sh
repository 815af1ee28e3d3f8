# Result bookkeeping of the suite scripts. Sourced; expects $work (a scratch folder) to be set
# before the first check runs.
passed=0
failed=0

# check NAME COMMAND...: runs COMMAND, counts the result, shows the tail of its output on failure.
check() {
    local name=$1
    shift
    if "$@" >"$work/last.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok   $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
        sed 's/^/     /' "$work/last.log" | tail -20
    fi
}

# The closing line that scripts/test reads; the exit status is the verdict.
report_checks() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
