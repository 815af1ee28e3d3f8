#!/usr/bin/env bash
# Closes that cost a virus scanner's wait, under Wine: 2,000 files of 4 KiB in 20 folders unpacked
# by kp_unpack_closes (bench/drivers/) with closes that take 0 and 3 ms, closed on the unpacking thread
# ("serial", as before the closer threads) and on the backend's closer threads ("deferred"), the
# four alternating, KP_BENCH_RUNS times each (default 5), each into a new folder in /dev/shm and
# on KP_BENCH_DISK (default /var/tmp). Prints the medians (wall and CPU ms of the unpack,
# its closes and its flush) and the share of the serial close cost that deferred closing adds:
#   (deferred 3 ms - deferred 0 ms) / (serial 3 ms - serial 0 ms), target at most 0.35.
set -euo pipefail
cd "$(dirname "$0")/.."
win=$(realpath "${KP_WINDOWS_DIR:-build/windows}")
kpack=${KP_KPACK:-build/release/kpack}
[ -x "$kpack" ] || kpack=build/dev/kpack
runs=${KP_BENCH_RUNS:-5}
for program in "$win/kp_unpack_closes.exe" "$kpack"; do
    [ -x "$program" ] || { echo "missing $program (build the windows preset, and kpack natively)"; exit 1; }
done
source scripts/wine-env
source bench/lib/small_files.sh
works=()
trap 'rm -rf "${works[@]}"; wine_env_cleanup' EXIT
trap 'exit 1' INT TERM
wineserver -p # one server for every run
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $(wine --version)"

for place in /dev/shm "${KP_BENCH_DISK:-/var/tmp}"; do
    work=$(mktemp -d "$place/kp-slow-close.XXXXXX")
    works+=("$work")
    small_file_tree "$work/tools" 20 100
    head -c 4096 /dev/urandom >"$work/host"
    "$kpack" tools append "$work/host" "$work/tools" -o "$work/host.exe" >/dev/null
    host=$(winepath -w "$work/host.exe")
    wine "$win/kp_unpack_closes.exe" "$host" "$(winepath -w "$work/warm-up")" 0 deferred >/dev/null
    for run in $(seq 1 "$runs"); do
        for mode in "0 serial" "3 serial" "0 deferred" "3 deferred"; do
            set -- $mode
            out="$work/out-$run-$1-$2"
            echo "$1 $2 $(wine "$win/kp_unpack_closes.exe" "$host" "$(winepath -w "$out")" "$1" "$2")"
            rm -rf "$out"
        done
    done >"$work/times"
    echo "== $(findmnt -no FSTYPE -T "$place" | head -1) ($place), $runs runs each"
    python3 - "$work/times" <<'PY'
import statistics, sys
times = {}
for line in open(sys.argv[1]):
    close, mode, wall, cpu = line.split()
    times.setdefault((close, mode), []).append((float(wall), float(cpu)))
median = {key: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v)) for key, v in times.items()}
for (close, mode), (wall, cpu) in sorted(median.items(), key=lambda item: (item[0][1], item[0][0])):
    print(f"{mode:>8}, closes of {close} ms: {wall:8.1f} ms wall {cpu:8.1f} ms CPU")
serial_cost = median[("3", "serial")][0] - median[("0", "serial")][0]
added = median[("3", "deferred")][0] - median[("0", "deferred")][0]
print(f"serial close cost {serial_cost:.0f} ms; deferred adds {added:.0f} ms: ratio {added / serial_cost:.3f} (target <= 0.35)")
PY
done
