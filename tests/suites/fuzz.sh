#!/usr/bin/env bash
# About a minute of fuzzing the tool package reader from the seed corpus: passes when it ends
# with no crash and no sanitizer report.
cd "$(dirname "$0")/../.."
if bash scripts/fuzz "${KP_FUZZ_SECONDS:-60}"; then
    echo "1 passed, 0 failed"
else
    echo "0 passed, 1 failed"
    exit 1
fi
