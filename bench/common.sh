# Shared by the bench scripts, which source it: the programs a script
# needs, and the directory it works in.

# bench_need BUILD_DIR PROGRAM...: each PROGRAM must be built in BUILD_DIR;
# otherwise says so and exits 1.
bench_need() {
    _build=$1
    shift
    for _p in "$@"; do
        if [ ! -x "$_build/$_p" ]; then
            echo "missing $_build/$_p: build first (cmake --build $_build)" >&2
            exit 1
        fi
    done
}

# bench_dir: sets `dir` to KEEP_DIR (made when missing), else to a new
# temporary directory, which bench_dir_cleanup removes.
bench_dir() {
    if [ -n "${KEEP_DIR:-}" ]; then
        dir=$KEEP_DIR
        mkdir -p "$dir"
    else
        dir=$(mktemp -d)
    fi
}

bench_dir_cleanup() {
    if [ -z "${KEEP_DIR:-}" ]; then rm -rf "$dir"; fi
}
