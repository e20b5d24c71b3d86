#!/usr/bin/env bash
# The LG native answered from the group cache, beside the C++ lookup of the
# same kind from lg_bench in this run; see LgBench.java.
# usage: lg.bench.sh <build dir>
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../../../tests/krn/rfc/java/src
cmake --build "$build" --target tovnative ms_peer lg_bench >/dev/null
out=$build/bench/javalg
rm -rf "$out" && mkdir -p "$out"
javac -d "$out" "$src/com/weq/conn/rfc/driver/LG.java" "$here/LgBench.java"
cxx=$("$build/bench/lg_bench" --benchmark_filter='BM_LgCacheHit$' --benchmark_min_time=0.2 \
        --benchmark_format=csv 2>/dev/null | awk -F, '/BM_LgCacheHit"/ {print $3}')
java -Djava.library.path="$build" -cp "$out" LgBench "$build/tests/ms_peer" "$cxx"
