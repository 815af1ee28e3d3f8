#!/usr/bin/env bash
# 1. The up-to-date launch (stamp current, tools current, host carrying that package) against a
#    program that only starts the same application and exits, both run by the same host, taken
#    in turns; medians of many runs and their ratio (target <= 1.5).
# 2. is_image_running and parent_image_path with 2,000 extra processes running, beside a plain
#    walk of /proc that reads each process's stat once.
set -euo pipefail
release=$(realpath "${KP_RELEASE_DIR:-build/release}")
runs=${KP_BENCH_RUNS:-101}
work=$(mktemp -d "${TMPDIR:-/tmp}/kp-bench-launch.XXXXXX")
sleepers=()
cleanup() {
    for pid in "${sleepers[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/home" "$work/data" "$work/tmp" "$work/run" "$work/bin" "$work/app" "$work/tools/models"
export HOME=$work/home XDG_DATA_HOME=$work/data TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/run
unset KP_APP_RECORD KP_APP_LINGER_MS
install_dir=$XDG_DATA_HOME/KestrinPadFree

cp "$release/kp_test_app" "$work/app/kestrin_pad.exe"
(cd "$work/app" && zip -q -X ../app.zip kestrin_pad.exe)
"$release/kpack" payload encrypt "$work/app.zip" "$work/bin/app.enc"
cp "$release/kp_launcher" "$work/bin/"
head -c 1000000 /dev/urandom >"$work/tools/onnxruntime.dll"
head -c 1000000 /dev/urandom >"$work/tools/models/a.onnx"
cp "$release/kp_test_host" "$work/host_plain"
"$release/kpack" tools append "$work/host_plain" "$work/tools" -o "$work/host"

# First run installs and unpacks; every later launcher run is the up-to-date path.
"$work/host" "$work/bin/kp_launcher" >/dev/null
[ -e "$install_dir/ai/.kp_ai" ] || { echo "setup failed: tools not unpacked"; exit 1; }

now() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
time_launcher() {
    local start
    start=$(now)
    "$work/host" "$work/bin/kp_launcher" >/dev/null
    echo $(($(now) - start)) >>"$work/ours"
}
time_baseline() {
    local start
    start=$(now)
    "$work/host" "$release/kp_start_only" "$install_dir/kestrin_pad.exe" "$install_dir" >/dev/null
    echo $(($(now) - start)) >>"$work/baseline"
}
for i in $(seq "$runs"); do
    if [ $((i % 2)) -eq 0 ]; then time_launcher; time_baseline; else time_baseline; time_launcher; fi
done
ours=$(median <"$work/ours")
baseline=$(median <"$work/baseline")
printf 'up-to-date launch through a host carrying a current package, median of %d runs\n' "$runs"
printf '  ours (kp_launcher):                    %.3f ms\n' "$(echo "$ours / 1000000" | bc -l)"
printf '  baseline (start the application only): %.3f ms\n' "$(echo "$baseline / 1000000" | bc -l)"
printf '  ratio ours/baseline:                   %.2f (target <= 1.5)\n' "$(echo "$ours / $baseline" | bc -l)"

if [ ! -x "$release/launch_queries" ]; then
    echo "launch_queries not built (Google Benchmark missing?)"
    exit 1
fi
for _ in $(seq 2000); do
    sleep 600 &
    sleepers+=($!)
done
results=$("$release/launch_queries" --benchmark_format=csv 2>/dev/null | grep -E '^"')
cpu_ms() { echo "$results" | grep "^\"$1\"" | cut -d, -f4; }
processes=$(find /proc -maxdepth 1 -name '[0-9]*' | wc -l)
printf 'process queries with 2,000 extra processes (%d processes in all), CPU time per call\n' "$processes"
printf '  is_image_running (no match, full walk): %.3f ms\n' "$(cpu_ms is_image_running_absent)"
printf '  parent_image_path:                      %.3f ms\n' "$(cpu_ms parent_image_path)"
printf '  baseline (read every /proc/PID/stat):   %.3f ms\n' "$(cpu_ms baseline_proc_stat_walk)"
printf '  ratio is_image_running/baseline:        %.2f\n' \
    "$(echo "$(cpu_ms is_image_running_absent) / $(cpu_ms baseline_proc_stat_walk)" | bc -l)"
printf '  ratio parent_image_path/baseline:       %.2f\n' \
    "$(echo "$(cpu_ms parent_image_path) / $(cpu_ms baseline_proc_stat_walk)" | bc -l)"
