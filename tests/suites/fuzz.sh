#!/usr/bin/env bash
# Each fuzz target builds, replays its seed corpus and then a fixed number of inputs (the same
# ones on every run of one build) with no crash and no sanitizer report. Long fuzzing is
# scripts/fuzz SECONDS.
cd "$(dirname "$0")/../.."
if bash scripts/fuzz --runs "${KP_FUZZ_RUNS:-20000}"; then
    echo "1 passed, 0 failed"
else
    echo "0 passed, 1 failed"
    exit 1
fi
