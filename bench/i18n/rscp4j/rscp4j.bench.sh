#!/usr/bin/env bash
# The ConverterJNI natives from Java beside java.nio.charset; see ConverterBench.java.
# usage: rscp4j.bench.sh <build dir>
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../../../tests/krn/rfc/java/src
cmake --build "$build" --target tovnative >/dev/null
out=$build/bench/java-rscp4j
rm -rf "$out" && mkdir -p "$out"
javac -d "$out" "$src/com/weq/i18n/cp/ConverterJNI.java" "$here/ConverterBench.java"
RSCP_CATCH_INIT=0 java -Djava.library.path="$build" -cp "$out" ConverterBench
