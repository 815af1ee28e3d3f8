# Sourced by every benchmark: the release build, the places it runs in, the runner.
#   places          prints "LABEL DIR" for each place: the RAM-backed folder, then the disk
#   work_dir P N    sets work to a fresh folder for benchmark N in place directory P (removed on
#                   exit)
#   compare ...     bench/lib/compare.py with the run count (see its --help)
bench_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
release=$(realpath "${KP_RELEASE_DIR:-$bench_lib/../../build/release}")
runs=${KP_BENCH_RUNS:-5}
quick=${KP_BENCH_QUICK:-0}
shm_dir=${KP_BENCH_SHM:-/dev/shm}
disk_dir=${KP_BENCH_DISK:-/var/tmp}

if [ "$(findmnt -no FSTYPE -T "$disk_dir")" = tmpfs ]; then
    echo "KP_BENCH_DISK ($disk_dir) is RAM-backed: point it at a folder on a disk"
    exit 1
fi

places() {
    echo "/dev/shm(RAM) $shm_dir"
    echo "disk($(findmnt -no FSTYPE -T "$disk_dir")) $disk_dir"
}

work_dirs=()
remove_work_dirs() {
    if [ ${#work_dirs[@]} -gt 0 ]; then rm -rf "${work_dirs[@]}"; fi
}
trap remove_work_dirs EXIT
work_dir() {
    work=$(mktemp -d "$1/kp-bench-$2.XXXXXX")
    work_dirs+=("$work")
}

compare() {
    python3 "$bench_lib/compare.py" --runs "$runs" "$@"
}

for program in kp_refresh_tools kpack kp_decrypt_payload; do
    [ -x "$release/$program" ] || { echo "missing $release/$program (build the release preset)"; exit 1; }
done
