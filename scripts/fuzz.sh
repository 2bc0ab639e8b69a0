#!/bin/bash
# Builds and runs the libFuzzer targets of the mSQL client and server (clang-14,
# AddressSanitizer), separately from the main build.
#   fuzz.sh build                   configure msql/fuzz and build both targets
#   fuzz.sh run TARGET SECONDS      run client_reply or server_request for SECONDS
#                                   on its seed corpus (msql/fuzz/corpus/TARGET)
# Builds into $KOVA_BUILD_DIR/msql-fuzz; inputs that the fuzzer finds go to a
# corpus folder there, never into the repository. Exits non-zero on a crash.
set -euo pipefail
source "$(dirname "$0")/common.sh"
dir=$KOVA_BUILD_DIR/msql-fuzz
src=$KOVA_ROOT/msql/fuzz

build() {
    command -v clang-14 >/dev/null || { echo "fuzz: clang-14 is not installed" >&2; exit 1; }
    cmake -S "$src" -B "$dir" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
        -DCMAKE_BUILD_TYPE= >/dev/null
    cmake --build "$dir" -j2 >/dev/null
    echo "fuzz: built $dir"
}

run() {
    local target=$1 seconds=$2
    local binary=$dir/msql_${target}_fuzz seeds=$src/corpus/$target found=$dir/corpus/$target
    [[ -x "$binary" && -d "$seeds" ]] || { echo "fuzz: unknown or unbuilt target '$target'" >&2; exit 2; }
    mkdir -p "$found"
    "$binary" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
        -close_fd_mask=1 -print_final_stats=1 "$found" "$seeds" 2>"$dir/$target.log" ||
        { tail -60 "$dir/$target.log" >&2; echo "fuzz: $target failed" >&2; exit 1; }
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$dir/$target.log" || true
    echo "fuzz: $target ran ${seconds}s without a failure"
}

case "${1:-}" in
    build) build ;;
    run) [[ $# -eq 3 ]] || { echo "usage: $0 run TARGET SECONDS" >&2; exit 2; }; run "$2" "$3" ;;
    *) echo "usage: $0 build | run TARGET SECONDS" >&2; exit 2 ;;
esac
