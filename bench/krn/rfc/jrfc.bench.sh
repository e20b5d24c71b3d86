#!/usr/bin/env bash
# The Compress natives from Java beside the JDK's zlib; see CompressBench.java.
# usage: jrfc.bench.sh <build dir>
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../../../tests/krn/rfc/java/src
cmake --build "$build" --target tovnative >/dev/null
out=$build/bench/java
rm -rf "$out" && mkdir -p "$out"
javac -d "$out" "$src/com/weq/conn/rfc/engine/Compress.java" "$here/CompressBench.java"
java -Djava.library.path="$build" -cp "$out" CompressBench
