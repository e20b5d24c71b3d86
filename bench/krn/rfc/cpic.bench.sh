#!/usr/bin/env bash
# Echo round trips and the version native from Java beside the C++ round
# trips of cpic_bench in this run; see CpicBench.java.
# usage: cpic.bench.sh <build dir>
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../../../tests/krn/rfc/java/src
cmake --build "$build" --target tovnative gw_peer cpic_bench >/dev/null
out=$build/bench/javacpic
rm -rf "$out" && mkdir -p "$out"
javac -d "$out" "$src/com/weq/conn/rfc/driver/CpicDriver.java" "$here/CpicBench.java"
cxx() {
  "$build/bench/cpic_bench" --benchmark_filter="^BM_RoundTrip/$1/" --benchmark_min_time=0.2 \
    --benchmark_format=csv 2>/dev/null | awk -F, -v n="BM_RoundTrip/$1/real_time" '$1 ~ n {print $3}'
}
c64=$(cxx 64)
c4k=$(cxx 4096)
CPIC_BUFFERING=1 java -Djava.library.path="$build" -cp "$out" CpicBench "$build/tests/gw_peer" "$c64" "$c4k"
