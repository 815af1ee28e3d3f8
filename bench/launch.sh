#!/usr/bin/env bash
# 1. The up-to-date launch (stamp current, tools current, host carrying that package) against a
#    program that only starts the same application with the same spawn call and exits, both run
#    by the same host, in each place (RAM-backed folder, then disk: the sandbox's home, data and
#    runtime folders there); medians of many runs, run without a shell, and their ratio (target
#    <= 1.3). The host, the application and the start-only program are C programs on libc alone
#    (bench/programs), so that nothing but the launcher's own cost separates the two sides. Then
#    the shared objects each side maps, from the dynamic loader's trace of one more run.
# 2. is_image_running and parent_image_path with 2,000 extra processes running, beside a plain
#    walk of /proc that reads each process's stat once. No files are involved: run once.
set -euo pipefail
source "$(dirname "$0")/lib/common.sh"
launch_runs=${KP_BENCH_LAUNCH_RUNS:-101}
[ "$quick" = 1 ] && launch_runs=31
unset KP_APP_RECORD KP_APP_LINGER_MS LD_DEBUG LD_PRELOAD
for program in bench_host bench_app bench_start_only kp_launcher; do
    [ -x "$release/$program" ] || { echo "missing $release/$program (build the release preset)"; exit 1; }
done

# shared_objects NAME COMMAND...: the shared objects that the process running NAME maps, from
# the dynamic loader's trace (one file per process) of one run of COMMAND.
shared_objects() {
    local name=$1 trace=$w/loader-trace
    shift
    rm -rf "$trace" && mkdir "$trace"
    env LD_DEBUG=files LD_DEBUG_OUTPUT="$trace/process" "$@" >/dev/null
    local file
    file=$(grep -l "needed by [^ ]*/$name \[0\]\|file=[^ ]*/$name \[0\]" "$trace"/process.* | head -1)
    local objects
    objects=$(grep -o 'file=[^ ]* \[0\];  generating link map' "$file" | sed -E 's/file=([^ ]*) .*/\1/' |
        xargs -n1 basename | tr '\n' ' ')
    printf '  %-27s maps %d shared objects: %s\n' "$name" "$(echo "$objects" | wc -w)" "$objects"
}

while read -r place dir; do
    work_dir "$dir" launch
    w=$work
    mkdir -p "$w/home" "$w/data" "$w/tmp" "$w/run" "$w/bin" "$w/app" "$w/tools/models"
    sandbox="HOME='$w/home' XDG_DATA_HOME='$w/data' TMPDIR='$w/tmp' XDG_RUNTIME_DIR='$w/run'"
    install_dir=$w/data/KestrinPadFree
    cp "$release/bench_app" "$w/app/kestrin_pad.exe"
    (cd "$w/app" && zip -q -X ../app.zip kestrin_pad.exe)
    "$release/kpack" payload encrypt "$w/app.zip" "$w/bin/app.enc"
    cp "$release/kp_launcher" "$w/bin/"
    head -c 1000000 /dev/urandom >"$w/tools/onnxruntime.dll"
    head -c 1000000 /dev/urandom >"$w/tools/models/a.onnx"
    cp "$release/bench_host" "$w/host_plain"
    "$release/kpack" tools append "$w/host_plain" "$w/tools" -o "$w/host" >/dev/null

    # The first run installs and unpacks; every later launcher run is the up-to-date path.
    env HOME="$w/home" XDG_DATA_HOME="$w/data" TMPDIR="$w/tmp" XDG_RUNTIME_DIR="$w/run" DISPLAY= \
        "$w/host" "$w/bin/kp_launcher" >/dev/null
    [ -e "$install_dir/ai/.kp_ai" ] || { echo "setup failed: tools not unpacked"; exit 1; }
    ours="$sandbox '$w/host' '$w/bin/kp_launcher'"
    base="$sandbox '$w/host' '$release/bench_start_only' '$install_dir/kestrin_pad.exe' '$install_dir'"
    compare --direct --runs "$launch_runs" --target "<= 1.3" \
        --title "up-to-date launch through a host carrying a current package, $place" \
        --ours-name "kp_launcher" --ours "$ours" --base-name "start the application only" --base "$base"
    eval "shared_objects kp_launcher env $ours"
    eval "shared_objects bench_start_only env $base"
    rm -rf "$w"
done < <(places)

if [ ! -x "$release/launch_queries" ]; then
    echo "launch_queries not built (Google Benchmark missing?)"
    exit 1
fi
sleepers=()
stop_sleepers() {
    for pid in "${sleepers[@]}"; do kill "$pid" 2>/dev/null || true; done
    remove_work_dirs
}
trap stop_sleepers EXIT
for _ in $(seq 2000); do
    sleep 600 &
    sleepers+=($!)
done
results=$("$release/launch_queries" --benchmark_format=csv --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true 2>/dev/null |
    grep -E '^"[a-z_]+_median"')
column() { echo "$results" | grep "^\"$1_median\"" | cut -d, -f"$2"; }
processes=$(find /proc -maxdepth 1 -name '[0-9]*' | wc -l)
printf 'process queries with 2,000 extra processes (%d in all), per call, median of 5 repetitions, interleaved\n' \
    "$processes"
for query in is_image_running_absent parent_image_path baseline_proc_stat_walk; do
    printf '  %-40s wall %8.3f ms   cpu %8.3f ms\n' "$query" "$(column "$query" 3)" "$(column "$query" 4)"
done
for query in is_image_running_absent parent_image_path; do
    printf '  ratio %-34s wall %6.2f   cpu %6.2f\n' "$query/walk" \
        "$(echo "$(column "$query" 3) / $(column baseline_proc_stat_walk 3)" | bc -l)" \
        "$(echo "$(column "$query" 4) / $(column baseline_proc_stat_walk 4)" | bc -l)"
done
