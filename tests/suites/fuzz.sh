#!/usr/bin/env bash
# About a minute of fuzzing each target (host image reading, the whole tool refresh): passes when
# both end with no crash and no sanitizer report.
cd "$(dirname "$0")/../.."
if bash scripts/fuzz "${KP_FUZZ_SECONDS:-60}"; then
    echo "1 passed, 0 failed"
else
    echo "0 passed, 1 failed"
    exit 1
fi
