# small_file_tree DIR FOLDERS PER_FOLDER: folders d1..dFOLDERS of PER_FOLDER files of 4 KiB each
# (fNNN.bin), and the probe onnxruntime.dll at the top in place of d1/f000.bin, so that the tree
# holds FOLDERS x PER_FOLDER files in all.
small_file_tree() {
    local dir=$1 folders=$2 per_folder=$3
    mkdir -p "$dir"
    head -c 4096 /dev/urandom >"$dir/onnxruntime.dll"
    for d in $(seq 1 "$folders"); do
        mkdir "$dir/d$d"
        head -c $((4096 * per_folder)) /dev/urandom | split -b 4096 -d -a 3 --additional-suffix=.bin - "$dir/d$d/f"
    done
    rm "$dir/d1/f000.bin"
}
